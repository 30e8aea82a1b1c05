#include "cli/cli_options.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <string_view>

#include "cli/qel_sn.h"
#include "readout/option_help.h"

namespace qel::app {

namespace {

// A day: longer is a mistake, not a dongle that takes its time.
constexpr unsigned kMaxTimeoutSeconds = 86400;
// Where the help's descriptions start. A label too long for it ("--timeout SECONDS") gets a line
// of its own rather than every description moving right, past a terminal's 80 columns.
constexpr std::size_t kHelpColumn = 17;
// getopt_long's code for a long option: its place in the table, past the codes of characters.
constexpr int kFirstLongCode = 0x100;

struct CliOption;
// What an option with a value does with it; returns the usage error of a value it cannot take.
using TakeValue = std::optional<std::string> (*)(const CliOption& option, const std::string& value,
                                                 CliOptions& options);

struct CliOption {
    const char* name;                  // without its dashes
    char short_name = 0;               // 0: none
    const char* value_name = nullptr;  // in the help; null: the option takes no value
    const char* needs = nullptr;       // what the value must be, for the usage errors
    bool CliOptions::*flag = nullptr;  // what an option without a value sets
    TakeValue take = nullptr;
    std::string help;  // its lines in the help
};

std::string needs_text(const CliOption& option) {
    return std::string("option --") + option.name + " needs " + option.needs;
}

std::optional<unsigned> parse_seconds(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end || value > kMaxTimeoutSeconds)
        return std::nullopt;
    return value;
}

std::optional<std::string> take_reader(const CliOption&, const std::string& value,
                                       CliOptions& options) {
    // An empty name is refused once the whole line is read, after any other mistake in it.
    options.reader = value;
    return std::nullopt;
}

std::optional<std::string> take_timeout(const CliOption& option, const std::string& value,
                                        CliOptions& options) {
    const auto seconds = parse_seconds(value);
    if (!seconds)
        return needs_text(option) + " from 0 to " + std::to_string(kMaxTimeoutSeconds) + ", not " +
               value;
    options.timeout_seconds = *seconds;
    return std::nullopt;
}

// In the order the help lists them.
const std::vector<CliOption>& cli_option_table() {
    static const std::vector<CliOption> table{
        {.name = "json",
         .flag = &CliOptions::json,
         .help = "one JSON object per readout instead of the lines"},
        {.name = "journal",
         .flag = &CliOptions::journal,
         .help = "each readout as an entry of the system journal instead of\n"
                 "the lines on standard output (the log file still gets them);\n"
                 "fields QEL_OUTCOME, QEL_SERIAL, QEL_FIRMWARE, QEL_ERROR_CODE,\n"
                 "QEL_READER, QEL_FAILURE"},
        {.name = "all",
         .flag = &CliOptions::all,
         .help = "read the dongle in every reader that holds one"},
        {.name = "reader",
         .value_name = "NAME",
         .needs = "a reader name",
         .take = take_reader,
         .help = "read only the dongle in the reader of that exact name"},
        {.name = "watch",
         .flag = &CliOptions::watch,
         .help = "wait for dongles and read each one once when it is inserted,\n"
                 "until SIGINT (Ctrl+C) or SIGTERM, then exit with status 0; a\n"
                 "dongle already inserted when the watch starts is read at once"},
        {.name = "timeout",
         .value_name = "SECONDS",
         .needs = "a number of seconds",
         .take = take_timeout,
         .help = "how long a readout may wait for a dongle that stops answering\n"
                 "(default " +
                 std::to_string(kDefaultTimeoutSeconds) +
                 ", 0: no limit); then it fails with \"no answer from\n"
                 "the dongle within SECONDS s\" and the program ends, since the\n"
                 "card command under way cannot be cancelled; the same time\n"
                 "bounds each call to the PC/SC service"},
        {.name = "diagnose",
         .flag = &CliOptions::diagnose,
         .help = "look at every step of a readout (program, library, service,\n"
                 "readers, cards, profiles, dongle) and print what holds, what\n"
                 "is wrong and how to fix it; with --json as one object; exit\n"
                 "status 1 when a check fails. Changes nothing on the machine.\n"
                 "--timeout bounds each check"},
        {.name = "help", .short_name = 'h', .flag = &CliOptions::help, .help = "this text"},
        {.name = "version", .flag = &CliOptions::version, .help = "the program's version"},
    };
    return table;
}

const CliOption& option_named(std::string_view name) {
    const auto& table = cli_option_table();
    return *std::find_if(table.begin(), table.end(),
                         [name](const CliOption& option) { return option.name == name; });
}

std::vector<option> getopt_long_options(const std::vector<CliOption>& table) {
    std::vector<option> options;
    for (std::size_t i = 0; i < table.size(); ++i)
        options.push_back({table[i].name, table[i].value_name ? required_argument : no_argument,
                           nullptr, kFirstLongCode + static_cast<int>(i)});
    options.push_back({});
    return options;
}

// "-": every word that is no option comes back where it stands, so that the first mistake on the
// line is the one reported. ":": a missing value is told apart from an unknown option.
std::string getopt_short_options(const std::vector<CliOption>& table) {
    std::string options = "-:";
    for (const CliOption& option : table) {
        if (option.short_name == 0)
            continue;
        options += option.short_name;
        if (option.value_name)
            options += ':';
    }
    return options;
}

// getopt_long also takes an abbreviation ("--wat") and a cluster of short options ("-hh"). Each
// option is taken only as the help writes it: an abbreviation in a script would change its
// meaning the day an option is added that starts alike.
bool written_whole(const CliOption& option, const std::string& word) {
    if (!word.starts_with("--"))
        return word == std::string{'-', option.short_name};
    return word.substr(0, word.find('=')) == std::string("--") + option.name;
}

// One run of getopt_long over a command line.
class CliParse {
public:
    CliParse(const std::vector<std::string>& args, CliOptions& options)
        : m_options(options), m_given(m_table.size()) {
        m_options = {};
        m_words.push_back("qel_sn");
        m_words.insert(m_words.end(), args.begin(), args.end());
        for (std::string& word : m_words)
            m_argv.push_back(word.data());
        m_argv.push_back(nullptr);
    }

    std::optional<std::string> run() {
        const std::vector<option> long_options = getopt_long_options(m_table);
        const std::string short_options = getopt_short_options(m_table);
        const int argc = static_cast<int>(m_words.size());
        // Our own usage errors instead of getopt's; optind 0 starts glibc's getopt afresh, without
        // the rest of a cluster that an earlier line was refused in.
        opterr = 0;
        optind = 0;
        for (;;) {
            // The word the next code comes from; the first call moves optind from 0 to 1.
            const int at = std::max(optind, 1);
            const int code = getopt_long(argc, m_argv.data(), short_options.c_str(),
                                         long_options.data(), nullptr);
            if (code == -1)
                break;
            if (auto error = take(code, m_words[at]))
                return error;
        }
        // Only "--" ends the loop early; what follows it is no option, and qel_sn takes no other.
        if (optind < argc)
            return "unexpected argument " + m_words[optind];
        return check_combination();
    }

private:
    std::optional<std::string> take(int code, const std::string& word) {
        // getopt hands back "-" alone as a word that is no option.
        if (code == 1)
            return (word.starts_with('-') ? "unknown option " : "unexpected argument ") + word;
        // ':' stands for an option whose value is missing, and optopt for the option.
        const bool value_missing = code == ':';
        const CliOption* option = option_of(value_missing ? optopt : code);
        if (option == nullptr || !written_whole(*option, word))
            return "unknown option " + word;
        if (value_missing)
            return needs_text(*option);
        if (option->flag) {
            m_options.*(option->flag) = true;
            return std::nullopt;
        }
        // A value given twice is a script's mistake: neither may quietly win.
        if (given(*option))
            return std::string("option --") + option->name + " is given twice";
        m_given[option - m_table.data()] = true;
        return option->take(*option, optarg, m_options);
    }

    std::optional<std::string> check_combination() const {
        const CliOption& reader = option_named("reader");
        // An empty name would quietly mean "any reader".
        if (given(reader) && m_options.reader.empty())
            return needs_text(reader);
        if (m_options.all && given(reader))
            return "--all and --reader exclude each other";
        if (m_options.all && m_options.watch)
            return "--watch and --all exclude each other";
        if (m_options.json && m_options.journal)
            return "--json and --journal exclude each other";
        if (m_options.diagnose && (m_options.watch || m_options.all || m_options.journal ||
                                   given(option_named("reader"))))
            return "--diagnose takes no other option than --json and --timeout";
        return std::nullopt;
    }

    // The table's option of a code of getopt_long's; null for '?', an option it does not know.
    const CliOption* option_of(int code) const {
        if (code >= kFirstLongCode)
            return &m_table[code - kFirstLongCode];
        const auto found = std::find_if(m_table.begin(), m_table.end(), [code](const CliOption& o) {
            return o.short_name != 0 && o.short_name == code;
        });
        return found == m_table.end() ? nullptr : &*found;
    }

    bool given(const CliOption& option) const { return m_given[&option - m_table.data()]; }

    const std::vector<CliOption>& m_table = cli_option_table();
    CliOptions& m_options;
    std::vector<bool> m_given;  // of the options with a value
    std::vector<std::string> m_words;
    std::vector<char*> m_argv;
};

std::string option_lines() {
    std::vector<OptionHelp> lines;
    for (const CliOption& option : cli_option_table()) {
        std::string label = std::string("--") + option.name;
        if (option.short_name != 0)
            label += std::string(", -") + option.short_name;
        if (option.value_name)
            label += std::string(" ") + option.value_name;
        lines.push_back({label, option.help});
    }
    return option_help_lines(lines, kHelpColumn);
}

}  // namespace

std::optional<std::string> parse_cli_options(const std::vector<std::string>& args,
                                             CliOptions& options) {
    return CliParse(args, options).run();
}

std::string short_usage_text() {
    return "usage: qel_sn [--json | --journal] [--all | --reader NAME] [--timeout SECONDS]\n"
           "       qel_sn --watch [--json | --journal] [--reader NAME] [--timeout SECONDS]\n"
           "       qel_sn --diagnose [--json] [--timeout SECONDS]\n"
           "       qel_sn --help | --version\n";
}

std::string usage_text(const log::LogPlace& log_place) {
    return short_usage_text() +
           "\n"
           "Reads the QEL dongle through the PC/SC service: its serial number, firmware version\n"
           "and error code, printed as the lines the window shows.\n"
           "\n"
           "options:\n" +
           option_lines() +
           "\n"
           "exit status:\n"
           "  0   a dongle was read\n"
           "  1   no dongle was found (with --watch: the watch could not start)\n"
           "  2   a dongle was found, but reading it failed\n"
           "  64  the command line was not understood\n"
           "  74  standard output could not be written (the reason is on standard error)\n"
           "  75  a watch ended because a dongle did not answer within --timeout\n"
           "With --all the worst readout counts. SIGINT or SIGTERM ends a watch with status 0\n"
           "and a single readout as the signal ends any program; the log keeps whole lines.\n"
           "\n" +
           log_file_help(log_place);
}

}  // namespace qel::app
