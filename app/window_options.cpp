#include "app/window_options.h"

#include "app/qel_sn.h"

namespace qel::app {

namespace {

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h";
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
