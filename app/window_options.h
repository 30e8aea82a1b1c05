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

// `log_place` is where the window's log file lies, for the help text.
std::string window_usage_text(const log::LogPlace& log_place);
std::string window_short_usage_text();

}  // namespace qel::app
