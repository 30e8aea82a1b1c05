#pragma once

// The window program's own command line. The window toolkit takes its options first (-platform,
// -display, -style, ...); what is left must be ours.

#include <optional>
#include <string>
#include <vector>

#include "log/log_place.h"

namespace qel::app {

struct WindowOptions {
    bool watch = false;  // run "Get Info" by itself on each insertion
    bool help = false;
    bool version = false;
};

// Whether --help (-h) or --version is anywhere among the arguments: both are answered before the
// toolkit starts, so that they work without a display.
WindowOptions early_window_options(const std::vector<std::string>& args);

// Strict parsing of what the toolkit left of the arguments after the program name. Returns the
// error text of a command line that cannot be understood, or nothing.
std::optional<std::string> parse_window_options(const std::vector<std::string>& args,
                                                WindowOptions& options);

// The arguments without the window toolkit's own options (and their values), as the toolkit
// leaves them: the rest can be checked with parse_window_options before the toolkit starts, so
// that a command line it cannot understand gets its usage error with or without a display.
std::vector<std::string> without_toolkit_options(const std::vector<std::string>& args);

// Whether the toolkit has a place to open the window: a platform named on the command line
// (-platform) or in QT_QPA_PLATFORM, or a display (DISPLAY, WAYLAND_DISPLAY). Null stands for
// an unset variable. Without one, the toolkit would abort the program.
bool window_has_display(const std::vector<std::string>& args, const char* qt_qpa_platform,
                        const char* display, const char* wayland_display);

// The status and the line of a start without a display.
inline constexpr int kExitNoDisplay = 1;
inline constexpr const char* kNoDisplay =
    "no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset); qel_sn reads "
    "the dongle on a terminal";

// `log_place` is where the window's log file lies, for the help text.
std::string window_usage_text(const log::LogPlace& log_place);
std::string window_short_usage_text();

}  // namespace qel::app
