#include "app/qel_sn.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "app/version.h"
#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "card/WinSCard.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

// The reason line the card search adds for a card that another program holds exclusively.
bool starts_with_option(const std::string& arg, std::string_view name, std::string& value) {
    if (arg.size() <= name.size() || arg.compare(0, name.size(), name) != 0 ||
        arg[name.size()] != '=')
        return false;
    value = arg.substr(name.size() + 1);
    return true;
}

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none. Overlong
// forms, surrogates and code points past U+10FFFF count as invalid, as JSON parsers refuse them.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        // Only the byte after the lead has the narrowed range.
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

std::string unicode_escape(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04X", byte);
    return text;
}

std::string hex_escape(unsigned char byte) {
    const std::uint8_t bytes[] = {byte};
    return "\\x" + util::to_hex(bytes);
}

// A day: longer is a mistake, not a dongle that takes its time.
constexpr unsigned kMaxTimeoutSeconds = 86400;

std::optional<unsigned> parse_seconds(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end || value > kMaxTimeoutSeconds)
        return std::nullopt;
    return value;
}

std::exception_ptr nested_cause(const std::exception& e) {
    try {
        std::rethrow_if_nested(e);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// What the first PC/SC code on the chain of nested failures means; None when there is none.
card::PcscFailure pcsc_failure_of(std::exception_ptr cause) {
    while (cause) {
        try {
            std::rethrow_exception(cause);
        } catch (const card::EKSCardAPIWinAPIException& e) {
            if (e.ErrorCode != 0)
                return e.failure();
            cause = nested_cause(e);
        } catch (const std::exception& e) {
            cause = nested_cause(e);
        } catch (...) {
            return card::PcscFailure::None;
        }
    }
    return card::PcscFailure::None;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty())
            text += ", ";
        text += "\"" + name + "\"";
    }
    return text;
}

}  // namespace

std::optional<std::string> parse_cli_options(const std::vector<std::string>& args,
                                             CliOptions& options) {
    options = {};
    bool reader_given = false;
    bool timeout_given = false;
    bool options_ended = false;
    // A value given twice is a script's mistake: neither may quietly win.
    const auto take = [](bool& given, const char* name) -> std::optional<std::string> {
        if (given)
            return std::string("option ") + name + " is given twice";
        given = true;
        return std::nullopt;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        const bool reader_inline = starts_with_option(arg, "--reader", value);
        const bool timeout_inline = !reader_inline && starts_with_option(arg, "--timeout", value);
        if (options_ended || arg.empty() || arg[0] != '-') {
            return "unexpected argument " + arg;
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--watch") {
            options.watch = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--reader" || reader_inline) {
            if (!reader_inline && i + 1 == args.size())
                return "option --reader needs a reader name";
            if (auto error = take(reader_given, "--reader"))
                return error;
            options.reader = reader_inline ? value : args[++i];
        } else if (arg == "--timeout" || timeout_inline) {
            if (!timeout_inline && i + 1 == args.size())
                return "option --timeout needs a number of seconds";
            if (auto error = take(timeout_given, "--timeout"))
                return error;
            const std::string seconds = timeout_inline ? value : args[++i];
            const auto parsed = parse_seconds(seconds);
            if (!parsed)
                return "option --timeout needs a number of seconds from 0 to " +
                       std::to_string(kMaxTimeoutSeconds) + ", not " + seconds;
            options.timeout_seconds = *parsed;
        } else {
            return "unknown option " + arg;
        }
    }
    // An empty name would quietly mean "any reader".
    if (reader_given && options.reader.empty())
        return "option --reader needs a reader name";
    if (options.all && reader_given)
        return "--all and --reader exclude each other";
    if (options.all && options.watch)
        return "--watch and --all exclude each other";
    return std::nullopt;
}

std::string no_answer_text(unsigned seconds) {
    return "no answer from the dongle within " + std::to_string(seconds) + " s";
}

std::string error_line(std::string_view text) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\r' || byte == '\n') {
            // CR LF, LF or CR: one break between two lines of the text, none at its end.
            if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            if (i + 1 < text.size())
                line += "; ";
        } else if (byte < 0x20 || byte == 0x7F) {
            line += hex_escape(byte);
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: a terminal that reads UTF-8 takes them for control codes.
            line += hex_escape(byte) + hex_escape(static_cast<unsigned char>(text[++i]));
        } else {
            line += static_cast<char>(byte);
        }
    }
    return line;
}

std::string short_usage_text() {
    return "usage: qel_sn [--json] [--all | --reader NAME] [--timeout SECONDS]\n"
           "       qel_sn --watch [--json] [--reader NAME] [--timeout SECONDS]\n"
           "       qel_sn --help | --version\n";
}

std::string log_file_help(const log::LogPlace& log_place) {
    const std::string where =
        log_place.file.empty() ? "(none: " + log_place.problem + ")" : log_place.file;
    const std::string state = std::string(log::kStateFolderName) + "/";
    return "log file:\n"
           "  " +
           where +
           "\n"
           "Every readout's lines are appended to it. It lies beside the program when the\n"
           "program may write into its folder (a build folder). A program installed in\n" +
           log::installed_program_folder() +
           ", or in a folder it cannot write, keeps it in the state folder:\n"
           "  $XDG_STATE_HOME/" +
           state + " (by default ~/.local/state/" + state + ")\n";
}

std::string usage_text(const log::LogPlace& log_place) {
    return short_usage_text() +
           "\n"
           "Reads the QEL dongle through the PC/SC service: its serial number, firmware version\n"
           "and error code, printed as the lines the window shows.\n"
           "\n"
           "options:\n"
           "  --json         one JSON object per readout instead of the lines\n"
           "  --all          read the dongle in every reader that holds one\n"
           "  --reader NAME  read only the dongle in the reader of that exact name\n"
           "  --watch        wait for dongles and read each one once when it is inserted,\n"
           "                 until SIGINT (Ctrl+C) or SIGTERM, then exit with status 0; a\n"
           "                 dongle already inserted when the watch starts is read at once\n"
           "  --timeout SECONDS\n"
           "                 how long a readout may wait for a dongle that stops answering\n"
           "                 (default " +
           std::to_string(kDefaultTimeoutSeconds) +
           ", 0: no limit); then it fails with \"no answer from\n"
           "                 the dongle within SECONDS s\" and the program ends, since the\n"
           "                 card command under way cannot be cancelled\n"
           "  --help, -h     this text\n"
           "  --version      the program's version\n"
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

std::string version_text(const std::string& program) {
    return program + " " + std::to_string(version_major) + "." + std::to_string(version_minor) +
           "\n";
}

int exit_status(const ReadoutResult& result) {
    switch (result.outcome) {
        case ReadoutResult::Outcome::Read:
            return kExitRead;
        case ReadoutResult::Outcome::NotFound:
            return kExitNotFound;
        case ReadoutResult::Outcome::Failed:
        case ReadoutResult::Outcome::Stopped:
            break;
    }
    return kExitFailed;
}

int worse_exit_status(int a, int b) {
    return std::max(a, b);
}

std::string terminal_line(const std::string& line) {
    std::string text;
    text.reserve(line.size() + 1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n')
            continue;
        text += line[i];
    }
    text += '\n';
    return text;
}

std::string json_string(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const std::size_t length = utf8_sequence_length(text, i);
            if (length == 0) {
                json += unicode_escape(byte);
                ++i;
            } else {
                json.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (byte) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\r':
                json += "\\r";
                break;
            case '\t':
                json += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F)
                    json += unicode_escape(byte);
                else
                    json += static_cast<char>(byte);
        }
        ++i;
    }
    return json + "\"";
}

std::string iso8601_utc(std::time_t when) {
    std::tm utc{};
    if (::gmtime_r(&when, &utc) == nullptr)
        return {};
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, n);
}

std::string readout_json(const ReadoutResult& result, const std::string& reader, std::time_t when) {
    const std::string& shown_reader = result.reader.empty() ? reader : result.reader;
    std::string json = "{";
    if (result.outcome == ReadoutResult::Outcome::Read || !shown_reader.empty())
        json += "\"reader\":" + json_string(shown_reader) + ",";
    if (result.outcome == ReadoutResult::Outcome::Read) {
        char firmware[8];
        std::snprintf(firmware, sizeof firmware, "%4.4X", static_cast<unsigned>(result.firmware));
        json += "\"serial\":" + json_string(result.serial) +
                ",\"firmware\":" + json_string(firmware) +
                ",\"error_code\":" + std::to_string(result.error_code);
    } else {
        // The lines of a multi-line failure as a Linux program writes them, joined with LF.
        std::string failure = terminal_line(result.failure);
        failure.pop_back();
        json += "\"error\":" + json_string(failure) +
                ",\"exit\":" + std::to_string(exit_status(result));
    }
    return json + ",\"time\":" + json_string(iso8601_utc(when)) + "}";
}

Hint select_hint(const ReadoutResult& result, const HintContext& context) {
    using Outcome = ReadoutResult::Outcome;
    if (result.outcome != Outcome::NotFound && result.outcome != Outcome::Failed)
        return Hint::None;
    // Without the library every PC/SC call answers "no service"; starting pcscd would not help.
    if (!context.pcsc_loaded)
        return Hint::NoPcscLibrary;

    switch (pcsc_failure_of(result.cause)) {
        case card::PcscFailure::ServiceGone:
            return Hint::ServiceNotRunning;
        case card::PcscFailure::NoReader:
            return Hint::NoReader;
        case card::PcscFailure::CardInUse:
            return Hint::CardInUse;
        // A dongle pulled out takes its reader along: pcscd reports the reader gone as often as
        // the card removed.
        case card::PcscFailure::CardRemoved:
        case card::PcscFailure::NoCard:
        case card::PcscFailure::ReaderGone:
            return Hint::CardRemoved;
        default:
            break;
    }

    const auto& readers = context.readers;
    if (result.outcome == Outcome::NotFound && !context.wanted_reader.empty() && !readers.empty() &&
        std::find(readers.begin(), readers.end(), context.wanted_reader) == readers.end())
        return Hint::UnknownReader;

    const std::string& text = result.failure;
    if (text == card::kErrReaderNotFound)
        return Hint::NoReader;
    if (card::names_held_card(text))
        return Hint::CardInUse;
    // What a card pulled in the middle of an exchange leaves behind.
    if (text.find(card::kErrShortAnswer) != std::string::npos)
        return Hint::CardRemoved;
    return result.outcome == Outcome::Failed ? Hint::ReadFailed : Hint::NoDongle;
}

std::string hint_text(Hint hint, const HintContext& context) {
    switch (hint) {
        case Hint::None:
            return {};
        case Hint::NoPcscLibrary:
            return std::string("The PC/SC library ") + card::kPcscLibraryName +
                   " cannot be loaded: install pcsc-lite (sudo apt-get install pcscd "
                   "libpcsclite1).";
        case Hint::ServiceNotRunning:
            return "The PC/SC service is not running: start it with `sudo systemctl start "
                   "pcscd.socket`, "
                   "or run `pcscd` by hand, then try again.";
        case Hint::NoReader:
            return "No reader is attached: plug in the dongle (it is a reader of its own) and try "
                   "again.";
        case Hint::UnknownReader:
            return "There is no reader \"" + context.wanted_reader +
                   "\"; the readers are: " + quoted_list(context.readers) + ".";
        case Hint::NoDongle: {
            const std::vector<std::string> searched =
                context.wanted_reader.empty() ? context.readers
                                              : std::vector<std::string>{context.wanted_reader};
            const std::string where = searched.empty()
                                          ? std::string("in any reader")
                                          : "in the readers searched: " + quoted_list(searched);
            // A reader named already is no advice to give.
            return "No dongle " + where +
                   (context.wanted_reader.empty()
                        ? ". Plug in the dongle, or name its reader with --reader."
                        : ". Plug in the dongle.");
        }
        case Hint::CardInUse:
            return "The card is held by another program: close that program (or wait until it "
                   "lets the card go) and try again; if no program holds it, unplug the dongle "
                   "and plug it in again.";
        case Hint::CardRemoved:
            return "The dongle was removed during the readout: plug it in again and repeat the "
                   "readout.";
        case Hint::ReadFailed:
            return "The dongle was found but did not answer as expected: plug it in again and "
                   "retry; if it keeps failing, the dongle itself needs a check.";
    }
    return {};
}

}  // namespace qel::app
