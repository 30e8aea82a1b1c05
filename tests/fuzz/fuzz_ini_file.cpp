// The INI reader on any text: IniFile::parse against a plain reference reading of the documented
// rules (sections, keys, values, limits, refusals), IniFile::load of the same text from a file
// giving the same result, and parse_integer / read_integer against a reference number reader.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "gp/IniFile.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using qel::gp::IniFile;
using namespace qel::fuzz;

struct RefSection {
    std::map<std::string, std::string> values;
    bool has_entries = false;
};
using RefIni = std::map<std::string, RefSection>;

bool blank(unsigned char c) {
    return c <= 0x20 || c == 0x7F;
}

std::string trimmed(std::string_view s) {
    while (!s.empty() && blank(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && blank(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return std::string(s);
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    }
    return s;
}

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    }
    return s;
}

// The documented reading, written without looking for speed; nullopt where the text is refused.
std::optional<RefIni> reference_parse(std::string_view text) {
    if (text.size() > IniFile::kMaxFileSize || text.find('\0') != std::string_view::npos)
        return std::nullopt;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    RefIni ini;
    RefSection* current = nullptr;
    std::size_t sections = 0;
    std::size_t entries = 0;
    std::string line;
    const auto take_line = [&]() -> bool {
        if (line.size() > IniFile::kMaxLineLength)
            return false;
        const std::string t = trimmed(line);
        line.clear();
        if (t.empty() || t[0] == ';')
            return true;
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            if (++sections > IniFile::kMaxSections)
                return false;
            current = &ini[lower(trimmed(std::string_view(t).substr(1, t.size() - 2)))];
            *current = RefSection{};
            return true;
        }
        if (current == nullptr)
            return true;
        if (++entries > IniFile::kMaxEntries)
            return false;
        current->has_entries = true;
        const auto eq = t.find('=');
        if (eq != std::string::npos)
            current->values[lower(trimmed(t.substr(0, eq)))] = trimmed(t.substr(eq + 1));
        return true;
    };
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!take_line())
                return std::nullopt;
        } else {
            line.push_back(c);
        }
    }
    if (!take_line())
        return std::nullopt;
    return ini;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::int32_t> reference_integer(std::string_view text) {
    std::size_t prefix = 0;
    if (text.starts_with("$"))
        prefix = 1;
    else if (text.starts_with("0x") || text.starts_with("0X"))
        prefix = 2;
    if (prefix != 0) {
        const std::string_view hex = text.substr(prefix);
        if (hex.empty())
            return std::nullopt;
        std::uint64_t v = 0;
        for (char c : hex) {
            if (digit_value(c) < 0)
                return std::nullopt;
            v = v * 16 + static_cast<std::uint64_t>(digit_value(c));
            if (v > 0xFFFFFFFFull)
                return std::nullopt;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    }
    bool minus = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        minus = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > 0x80000000LL)
            return std::nullopt;
    }
    if (minus)
        v = -v;
    if (v > 0x7FFFFFFFLL)
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

void check_integer(std::string_view text) {
    std::optional<std::int32_t> got;
    guarded("IniFile::parse_integer", [&] { got = IniFile::parse_integer(text); });
    QEL_FUZZ_CHECK_MSG(got == reference_integer(text), std::string(text));
}

void check_same(const IniFile& ini, const RefIni& ref) {
    QEL_FUZZ_CHECK(ini.section_count() == ref.size());
    for (const auto& [name, section] : ref) {
        const std::string shouted = upper(name);
        QEL_FUZZ_CHECK(ini.section_exists(name) && ini.section_exists(shouted));
        QEL_FUZZ_CHECK(ini.section_has_entries(shouted) == section.has_entries);
        for (const auto& [key, value] : section.values) {
            QEL_FUZZ_CHECK(ini.value_exists(shouted, upper(key)));
            QEL_FUZZ_CHECK(ini.read_string(name, upper(key),
                                           "\x01"
                                           "absent") == value);
            check_integer(value);
            QEL_FUZZ_CHECK(ini.read_integer(shouted, key, -7) ==
                           reference_integer(value).value_or(-7));
        }
        // Keys are trimmed of control characters, so none can start with one.
        QEL_FUZZ_CHECK(ini.read_string(name, "\x01key", "fallback") == "fallback");
    }
}

std::string g_scratch;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qel_fuzz_ini_XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        std::abort();
    g_scratch = pattern;
    std::atexit([] {
        ::unlink((g_scratch + "/KSCard.ini").c_str());
        ::rmdir(g_scratch.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<RefIni> ref = reference_parse(text);

    std::optional<IniFile> parsed;
    guarded("IniFile::parse", [&] { parsed = IniFile::parse(text); });
    QEL_FUZZ_CHECK_MSG(parsed.has_value() == ref.has_value(),
                       parsed ? "a text to refuse was read" : "a readable text was refused");
    if (parsed)
        check_same(*parsed, *ref);

    // The same text from a file reads the same.
    const std::string path = g_scratch + "/KSCard.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::optional<IniFile> loaded;
    guarded("IniFile::load", [&] { loaded = IniFile::load(path); });
    QEL_FUZZ_CHECK(loaded.has_value() == ref.has_value());
    if (loaded)
        check_same(*loaded, *ref);

    // Every line as a number, for the number reader's own sake.
    std::size_t pos = 0;
    while (pos < text.size() && pos < 4096) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        check_integer(text.substr(pos, std::min<std::size_t>(end - pos, 64)));
        pos = end + 1;
    }
    return 0;
}
