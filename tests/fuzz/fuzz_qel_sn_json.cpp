// qel_sn's JSON on any reader name, serial and failure text: every object must parse as JSON
// (strict UTF-8, no raw control characters, well-formed escapes, the keys of its outcome), and
// every string must decode back to the text it was made from, each byte that starts no valid
// UTF-8 character (iconv being the judge) standing for the Latin-1 character of its value. Where
// the text is valid UTF-8 it must come back unchanged, character for character.

#include <iconv.h>

#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <map>
#include <string>

#include "cli/qel_sn.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace qel;
using app::ReadoutResult;

// Whether glibc takes `text` as UTF-8 of Unicode characters (to UTF-32, which ends at U+10FFFF
// and has no surrogates; its UTF-8 reader alone goes further).
bool valid_utf8(const std::string& text) {
    static const iconv_t converter = ::iconv_open("UTF-32LE", "UTF-8");
    ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    std::string copy = text;
    char* in = copy.data();
    std::size_t in_left = copy.size();
    std::string out(4 * copy.size() + 8, '\0');
    char* out_ptr = out.data();
    std::size_t out_left = out.size();
    return ::iconv(converter, &in, &in_left, &out_ptr, &out_left) != static_cast<std::size_t>(-1) &&
           in_left == 0;
}

unsigned hex_value(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    return 16;
}

// Reads one JSON string at `at` (its opening quote) and returns the bytes it stands for: escapes
// of control characters as their byte, raw UTF-8 as it is. Stops the run on anything JSON
// refuses.
std::string read_string(const std::string& json, std::size_t& at) {
    QEL_FUZZ_CHECK(at < json.size() && json[at] == '"');
    ++at;
    std::string bytes;
    for (;;) {
        QEL_FUZZ_CHECK_MSG(at < json.size(), "unterminated string in " + json);
        const auto c = static_cast<unsigned char>(json[at]);
        if (c == '"') {
            ++at;
            return bytes;
        }
        QEL_FUZZ_CHECK_MSG(c >= 0x20, "raw control character in " + json);
        if (c != '\\') {
            bytes += static_cast<char>(c);
            ++at;
            continue;
        }
        QEL_FUZZ_CHECK(at + 1 < json.size());
        const char e = json[at + 1];
        at += 2;
        static const std::map<char, char> simple = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                    {'b', '\b'}, {'f', '\f'},  {'n', '\n'},
                                                    {'r', '\r'}, {'t', '\t'}};
        if (const auto s = simple.find(e); s != simple.end()) {
            bytes += s->second;
            continue;
        }
        QEL_FUZZ_CHECK_MSG(e == 'u' && at + 4 <= json.size(), "bad escape in " + json);
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned digit = hex_value(json[at + i]);
            QEL_FUZZ_CHECK(digit < 16);
            code = code * 16 + digit;
        }
        at += 4;
        // Only control characters are escaped this way; everything else is UTF-8 as it is.
        QEL_FUZZ_CHECK_MSG(code < 0x20, "escape of a printable character in " + json);
        bytes += static_cast<char>(code);
    }
}

// `text` with each byte that starts no character iconv takes as UTF-8 replaced by the UTF-8 of
// the Latin-1 character of its value.
std::string latin1_for_invalid(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        for (std::size_t k = 1; k <= 4 && i + k <= text.size() && length == 0; ++k) {
            if (valid_utf8(text.substr(i, k)))
                length = k;
        }
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[i]);
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

// The checks of one string written by json_string.
void check_string(const std::string& text) {
    const std::string json = app::json_string(text);
    QEL_FUZZ_CHECK_MSG(valid_utf8(json), "not UTF-8: " + json);
    std::size_t at = 0;
    const std::string decoded = read_string(json, at);
    QEL_FUZZ_CHECK(at == json.size());
    QEL_FUZZ_CHECK(decoded == (valid_utf8(text) ? text : latin1_for_invalid(text)));
}

// The object's members, strings decoded and numbers as their digits.
std::map<std::string, std::string> read_object(const std::string& json) {
    std::map<std::string, std::string> members;
    std::size_t at = 0;
    QEL_FUZZ_CHECK_MSG(!json.empty() && json[at] == '{', json);
    ++at;
    for (;;) {
        const std::string key = read_string(json, at);
        QEL_FUZZ_CHECK_MSG(at < json.size() && json[at] == ':', json);
        ++at;
        std::string value;
        if (at < json.size() && json[at] == '"') {
            value = read_string(json, at);
        } else {
            while (at < json.size() && json[at] >= '0' && json[at] <= '9')
                value += json[at++];
            QEL_FUZZ_CHECK_MSG(!value.empty() && (value == "0" || value[0] != '0'), json);
        }
        QEL_FUZZ_CHECK_MSG(members.emplace(key, value).second, "key twice in " + json);
        QEL_FUZZ_CHECK_MSG(at < json.size(), json);
        if (json[at] == '}')
            break;
        QEL_FUZZ_CHECK_MSG(json[at] == ',', json);
        ++at;
    }
    QEL_FUZZ_CHECK_MSG(at + 1 == json.size(), "text after the object: " + json);
    return members;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ReadoutResult result;
    result.outcome = static_cast<ReadoutResult::Outcome>(in.ConsumeIntegralInRange<int>(0, 3));
    result.firmware = in.ConsumeIntegral<std::uint16_t>();
    result.error_code = in.ConsumeIntegral<std::uint8_t>();
    // Up to the last second of the year 9999.
    const auto when =
        static_cast<std::time_t>(in.ConsumeIntegralInRange<std::int64_t>(0, 253402300799));
    result.reader = in.ConsumeRandomLengthString(64);
    const std::string searched = in.ConsumeRandomLengthString(64);
    result.serial = in.ConsumeRandomLengthString(32);
    result.failure = in.ConsumeRemainingBytesAsString();

    for (const std::string* text : std::initializer_list<const std::string*>{
             &result.reader, &searched, &result.serial, &result.failure})
        check_string(*text);

    const auto members = read_object(app::readout_json(result, searched, when));
    const bool read = result.outcome == ReadoutResult::Outcome::Read;
    const std::string& reader = result.reader.empty() ? searched : result.reader;
    QEL_FUZZ_CHECK(members.count("reader") == (read || !reader.empty() ? 1u : 0u));
    if (members.count("reader"))
        QEL_FUZZ_CHECK(members.at("reader") == latin1_for_invalid(reader));
    QEL_FUZZ_CHECK(members.at("time").size() == 20 && members.at("time").back() == 'Z');
    if (read) {
        QEL_FUZZ_CHECK(members.size() == 5 + members.count("reader") - 1);
        QEL_FUZZ_CHECK(members.at("serial") == latin1_for_invalid(result.serial));
        QEL_FUZZ_CHECK(std::stoul(members.at("firmware"), nullptr, 16) == result.firmware);
        QEL_FUZZ_CHECK(members.at("firmware").size() == 4);
        QEL_FUZZ_CHECK(members.at("error_code") == std::to_string(result.error_code));
    } else {
        // The failure's lines are joined by LF there: each CR LF of the text is one LF.
        std::string lines;
        for (std::size_t i = 0; i < result.failure.size(); ++i) {
            if (result.failure[i] != '\r' || i + 1 == result.failure.size() ||
                result.failure[i + 1] != '\n')
                lines += result.failure[i];
        }
        QEL_FUZZ_CHECK(members.at("error") == latin1_for_invalid(lines));
        QEL_FUZZ_CHECK(members.at("exit") == std::to_string(app::exit_status(result)));
        QEL_FUZZ_CHECK(members.count("serial") == 0);
    }
    return 0;
}
