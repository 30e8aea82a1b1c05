#include "app/window_options.h"

#include <functional>
#include <set>

#include "app/qel_sn.h"

namespace qel::app {

namespace {

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

bool is_set(const char* value) {
    return value != nullptr && *value != '\0';
}

// The toolkit's option of `arg` without its dashes (it takes one dash or two) and without an
// "=value"; empty when `arg` is none of the toolkit's.
std::string toolkit_option(const std::string& arg, bool& takes_value, bool& value_inline) {
    static const std::set<std::string, std::less<>> with_value{
        "platform",      "platformpluginpath", "platformtheme", "plugin",     "qwindowgeometry",
        "qwindowicon",   "qwindowtitle",       "style",         "stylesheet", "session",
        "display",       "geometry",           "title",         "name",       "visual",
        "qmljsdebugger", "fontengine"};
    static const std::set<std::string, std::less<>> flags{"reverse", "widgetcount", "nograb",
                                                          "dograb", "sync"};
    if (arg.size() < 2 || arg[0] != '-' || arg == "--")
        return {};
    std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
    const auto equals = name.find('=');
    value_inline = equals != std::string::npos;
    if (value_inline)
        name.resize(equals);
    takes_value = with_value.count(name) != 0;
    return takes_value || (!value_inline && flags.count(name) != 0) ? name : std::string();
}

}  // namespace

WindowOptions early_window_options(const std::vector<std::string>& args) {
    WindowOptions options;
    for (const std::string& arg : args) {
        options.help = options.help || is_help(arg);
        options.version = options.version || arg == "--version";
    }
    return options;
}

std::optional<std::string> parse_window_options(const std::vector<std::string>& args,
                                                WindowOptions& options) {
    options = {};
    for (const std::string& arg : args) {
        if (arg == "--watch") {
            options.watch = true;
        } else if (is_help(arg)) {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else {
            return "unexpected argument " + arg;
        }
    }
    return std::nullopt;
}

std::vector<std::string> without_toolkit_options(const std::vector<std::string>& args) {
    std::vector<std::string> ours;
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool takes_value = false;
        bool value_inline = false;
        if (toolkit_option(args[i], takes_value, value_inline).empty()) {
            ours.push_back(args[i]);
        } else if (takes_value && !value_inline) {
            ++i;
        }
    }
    return ours;
}

bool window_has_display(const std::vector<std::string>& args, const char* qt_qpa_platform,
                        const char* display, const char* wayland_display) {
    if (is_set(qt_qpa_platform) || is_set(display) || is_set(wayland_display))
        return true;
    for (const std::string& arg : args) {
        bool takes_value = false;
        bool value_inline = false;
        const std::string option = toolkit_option(arg, takes_value, value_inline);
        if (option == "platform" || option == "display")
            return true;
    }
    return false;
}

std::string window_short_usage_text() {
    return "usage: qel_sn_reader [--watch] [toolkit options]\n"
           "       qel_sn_reader --help | --version\n";
}

std::string window_usage_text(const log::LogPlace& log_place) {
    return window_short_usage_text() +
           "\n"
           "Opens the QEL S/N Reader window. \"Get Info\" reads the QEL dongle through the PC/SC\n"
           "service: its serial number, firmware version and error code.\n"
           "\n"
           "options:\n"
           "  --watch     press \"Get Info\" by itself each time a dongle is inserted; a dongle\n"
           "              already inserted when the window opens is read at once\n"
           "  --help, -h  this text\n"
           "  --version   the program's version\n"
           "The window toolkit's own options are taken too (-platform offscreen, -display :1).\n"
           "For reading without a window, see qel_sn --help.\n"
           "\n" +
           log_file_help(log_place);
}

}  // namespace qel::app
