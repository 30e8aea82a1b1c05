#include "window/window_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <functional>
#include <set>

#include "readout/option_help.h"

namespace qel::app {

namespace {

// The help's descriptions start here, two blanks after the longest name.
constexpr std::size_t kHelpColumn = 14;

struct WindowOption {
    QCommandLineOption option;  // its names, the first as the help leads with it, and its help
    bool WindowOptions::*flag;
    bool early;  // answered before the toolkit starts, so that it works without a display
};

// In the order the help lists them.
const std::vector<WindowOption>& window_option_table() {
    static const std::vector<WindowOption> table{
        {QCommandLineOption(QStringLiteral("watch"),
                            QStringLiteral("press \"Get Info\" by itself each time a dongle is "
                                           "inserted; a dongle\nalready inserted when the window "
                                           "opens is read at once")),
         &WindowOptions::watch, false},
        {QCommandLineOption(QStringList{QStringLiteral("help"), QStringLiteral("h")},
                            QStringLiteral("this text")),
         &WindowOptions::help, true},
        {QCommandLineOption(QStringLiteral("version"), QStringLiteral("the program's version")),
         &WindowOptions::version, true},
    };
    return table;
}

// One letter after one dash, a word after two, as the help writes them.
std::string written(const QString& name) {
    return (name.size() == 1 ? "-" : "--") + name.toStdString();
}

// A parser that knows the window's options. Its parse() needs no application object, so the line
// is checked before the toolkit starts.
class WindowOptionParser {
public:
    WindowOptionParser() {
        for (const WindowOption& declared : window_option_table())
            m_parser.addOption(declared.option);
    }

    // The window's option that `arg` is, written as the help writes it; null for anything else.
    // One word at a time, so that the first word refused is the one the error names as written:
    // the parser names an unknown option without its dashes and its value, and passes over
    // "--" and a word that is no option.
    const WindowOption* option_of(const std::string& arg) {
        if (!m_parser.parse({QStringLiteral("qel_sn_reader"), QString::fromStdString(arg)}))
            return nullptr;
        const QStringList found = m_parser.optionNames();
        // It also takes "--h" for -h and "-hh" for two of it.
        if (found.size() != 1 || arg != written(found.front()))
            return nullptr;
        for (const WindowOption& declared : window_option_table()) {
            if (declared.option.names().contains(found.front()))
                return &declared;
        }
        return nullptr;
    }

private:
    QCommandLineParser m_parser;
};

std::string window_option_lines() {
    std::vector<OptionHelp> lines;
    for (const WindowOption& declared : window_option_table()) {
        std::string label;
        for (const QString& name : declared.option.names())
            label += (label.empty() ? "" : ", ") + written(name);
        lines.push_back({label, declared.option.description().toStdString()});
    }
    return option_help_lines(lines, kHelpColumn);
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
    WindowOptionParser parser;
    for (const std::string& arg : args) {
        const WindowOption* declared = parser.option_of(arg);
        if (declared && declared->early)
            options.*(declared->flag) = true;
    }
    return options;
}

std::optional<std::string> parse_window_options(const std::vector<std::string>& args,
                                                WindowOptions& options) {
    options = {};
    WindowOptionParser parser;
    for (const std::string& arg : args) {
        const WindowOption* declared = parser.option_of(arg);
        if (!declared)
            return (arg.starts_with('-') ? "unknown option " : "unexpected argument ") + arg;
        options.*(declared->flag) = true;
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
           "options:\n" +
           window_option_lines() +
           "The window toolkit's own options are taken too (-platform offscreen, -display :1).\n"
           "For reading without a window, see qel_sn --help.\n"
           "\n" +
           log_file_help(log_place);
}

}  // namespace qel::app
