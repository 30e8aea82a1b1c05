#include "tools/vcard_options.h"

#include <cctype>
#include <charconv>
#include <functional>
#include <map>

#include "util/KUDynArrays.h"

namespace qel::vcard {

namespace {

struct Limits {
    std::size_t min = 0;
    std::size_t max = 0;
};

// Hex digits only, two per byte: a typo in a test's option must not become other bytes.
std::optional<ByteArray> parse_hex(const std::string& text, Limits limits) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    ByteArray bytes;
    if (!text.empty())
        qel::util::StringToByteStream(text, bytes);
    if (bytes.size() < limits.min || bytes.size() > limits.max)
        return std::nullopt;
    return bytes;
}

template <typename T>
std::optional<T> parse_number(const std::string& text, T min, T max) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::string describe(Limits limits) {
    if (limits.min == limits.max)
        return "exactly " + std::to_string(limits.min) + " bytes of hex";
    return std::to_string(limits.min) + " to " + std::to_string(limits.max) + " bytes of hex";
}

constexpr Limits kAnswerLimits{0, 256};
constexpr Limits kPrefixLimits{1, 261};

}  // namespace

std::optional<std::string> parse_options(const std::vector<std::string>& args, Options& options) {
    using Handler = std::function<std::optional<std::string>(const std::string&)>;

    auto hex_into = [](ByteArray& target, Limits limits, const char* name) -> Handler {
        return [&target, limits, name](const std::string& value) -> std::optional<std::string> {
            const auto bytes = parse_hex(value, limits);
            if (!bytes)
                return std::string(name) + " needs " + describe(limits) + ", got \"" + value + "\"";
            target = *bytes;
            return std::nullopt;
        };
    };

    CardConfig& card = options.card;
    const std::map<std::string, Handler> with_value{
        {"--port",
         [&options](const std::string& value) -> std::optional<std::string> {
             const auto port = parse_number<std::uint16_t>(value, 1, 65535);
             if (!port)
                 return "--port needs a number from 1 to 65535, got \"" + value + "\"";
             options.port = *port;
             return std::nullopt;
         }},
        {"--atr", hex_into(card.atr, {2, 33}, "--atr")},
        {"--serial", hex_into(card.serial, kAnswerLimits, "--serial")},
        {"--firmware", hex_into(card.firmware, kAnswerLimits, "--firmware")},
        {"--error-code", hex_into(card.error_code, kAnswerLimits, "--error-code")},
        {"--session-key", hex_into(card.session_key, {8, 8}, "--session-key")},
        {"--cplc-serial", hex_into(card.cplc_serial, {4, 4}, "--cplc-serial")},
        {"--cplc-answer",
         [&card](const std::string& value) -> std::optional<std::string> {
             const auto bytes = parse_hex(value, kAnswerLimits);
             if (!bytes)
                 return "--cplc-answer needs " + describe(kAnswerLimits) + ", got \"" + value +
                        "\"";
             card.cplc_answer = *bytes;
             return std::nullopt;
         }},
        {"--sw",
         [&card](const std::string& value) -> std::optional<std::string> {
             const auto equals = value.find('=');
             const auto prefix = equals == std::string::npos
                                     ? std::nullopt
                                     : parse_hex(value.substr(0, equals), kPrefixLimits);
             const auto sw = equals == std::string::npos
                                 ? std::nullopt
                                 : parse_hex(value.substr(equals + 1), {2, 2});
             if (!prefix || !sw)
                 return "--sw needs CMDHEX=SWHEX (a command prefix and 2 status bytes), got \"" +
                        value + "\"";
             card.status_overrides.push_back(
                 {*prefix, static_cast<std::uint16_t>((*sw)[0] << 8 | (*sw)[1])});
             return std::nullopt;
         }},
        {"--short-answer",
         [&card](const std::string& value) -> std::optional<std::string> {
             const auto prefix = parse_hex(value, kPrefixLimits);
             if (!prefix)
                 return "--short-answer needs " + describe(kPrefixLimits) + ", got \"" + value +
                        "\"";
             card.short_answer_prefixes.push_back(*prefix);
             return std::nullopt;
         }},
        {"--pull-after",
         [&options](const std::string& value) -> std::optional<std::string> {
             const auto count = parse_number<std::uint64_t>(value, 0, UINT64_MAX);
             if (!count)
                 return "--pull-after needs a count of APDUs, got \"" + value + "\"";
             options.pull_after = *count;
             return std::nullopt;
         }},
        {"--silent-after",
         [&options](const std::string& value) -> std::optional<std::string> {
             const auto count = parse_number<std::uint64_t>(value, 0, UINT64_MAX);
             if (!count)
                 return "--silent-after needs a count of APDUs, got \"" + value + "\"";
             options.silent_after = *count;
             return std::nullopt;
         }},
        {"--silent-for",
         [&options](const std::string& value) -> std::optional<std::string> {
             const auto ms = parse_number<std::uint32_t>(value, 1, 3600000);
             if (!ms)
                 return "--silent-for needs milliseconds from 1 to 3600000, got \"" + value + "\"";
             options.silent_for_ms = *ms;
             return std::nullopt;
         }},
        {"--parent",
         [&options](const std::string& value) -> std::optional<std::string> {
             const auto pid = parse_number<long>(value, 1, 0x7FFFFFFFL);
             if (!pid)
                 return "--parent needs a process id, got \"" + value + "\"";
             options.parent_pid = *pid;
             return std::nullopt;
         }},
    };
    const std::map<std::string, std::function<void()>> flags{
        {"--t1", [&card] { card.protocol = Protocol::T1; }},
        {"--no-applet", [&card] { card.has_applet = false; }},
        {"--getresponse-loop", [&card] { card.getresponse_loop = true; }},
        {"--verbose", [&options] { options.verbose = true; }},
        {"--help", [&options] { options.help = true; }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
            inline_value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (const auto flag = flags.find(name); flag != flags.end()) {
            if (inline_value)
                return name + " takes no value";
            flag->second();
            continue;
        }
        const auto handler = with_value.find(name);
        if (handler == with_value.end())
            return "unknown option \"" + args[i] + "\"";
        if (!inline_value) {
            if (i + 1 == args.size())
                return name + " needs a value";
            inline_value = args[++i];
        }
        if (auto error = handler->second(*inline_value))
            return error;
    }
    if (options.silent_for_ms && !options.silent_after)
        return "--silent-for needs --silent-after";
    return std::nullopt;
}

const char* usage_text() {
    return "usage: qel_vcard [options]\n"
           "Plays a QEL dongle as a virtual card for the vpcd reader of pcscd.\n"
           "  --port N              vpcd port on 127.0.0.1 (default 35963; 35964 is the second "
           "reader)\n"
           "  --t1                  T=1-only ATR, answers come directly (default: T=0 card)\n"
           "  --atr HEX             another ATR (the protocol is still chosen by --t1)\n"
           "  --no-applet           a plain card manager: the dongle AID is not found\n"
           "  --serial HEX          answer to 40 10 62 12 (default 0A1B2C3D4E5F6071)\n"
           "  --firmware HEX        answer to 40 10 62 B2 (default 010A)\n"
           "  --error-code HEX      answer to 40 10 62 20 (default 002A)\n"
           "  --session-key HEX     8-byte DES key of the encrypted path (default "
           "51454C2D4B455931)\n"
           "  --cplc-serial HEX     4-byte IC serial in the CPLC (default 12345678)\n"
           "  --cplc-answer HEX     the whole GET DATA answer instead of the CPLC\n"
           "  --sw CMDHEX=SWHEX     answer SWHEX to commands starting with CMDHEX (repeatable)\n"
           "  --short-answer CMDHEX answer one byte to commands starting with CMDHEX "
           "(repeatable)\n"
           "  --getresponse-loop    GET RESPONSE answers 61 xx again instead of the data\n"
           "  --pull-after N        pull the card when APDU N+1 arrives, leaving it unanswered\n"
           "  --silent-after N      stay in the reader but answer no APDU after the first N;\n"
           "                        SIGUSR1 makes it answer the waiting APDU and speak again\n"
           "  --silent-for MS       with --silent-after: answer each later APDU after MS ms\n"
           "  --parent PID          leave when process PID ends (test harnesses)\n"
           "  --verbose             log controls and APDUs to stderr\n"
           "Exit status: 0 when vpcd closes, the card is pulled or on SIGTERM; 1 on a "
           "connection error; 2 on bad options.\n";
}

}  // namespace qel::vcard
