#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qel::gp {

// A parsed, read-only INI file. A UTF-8 byte-order mark at the very start is skipped. Lines end
// in CR LF, LF or CR and are trimmed of blanks and control characters; ";" starts a comment line;
// "[name]" opens a section; lines before the first section are ignored; an entry is
// "key = value" split at the first "=". A line without "=" is an entry that no key can read, but
// it makes its section non-empty. Section names and keys compare without regard to ASCII case. A
// section name that occurs again starts over, so only the last section of that name is seen; a
// key that occurs again keeps its last value.
//
// The file is the user's, so nothing in it is trusted: a file over any of the limits below, one
// holding a NUL byte (not a text file), or one that is not a regular file is refused as a whole
// with util::Exception rather than read in part.
class IniFile {
public:
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;
    static constexpr std::size_t kMaxLineLength = 16 * 1024;
    static constexpr std::size_t kMaxSections = 10000;
    static constexpr std::size_t kMaxEntries = 100000;

    // An INI without sections.
    IniFile() = default;

    // Reads and parses the file at `path`. A file that does not exist gives an empty INI; any
    // other failure to read it throws util::Exception. Never blocks on a FIFO or a device.
    static IniFile load(const std::string& path);
    static IniFile parse(std::string_view text);

    bool section_exists(std::string_view section) const;
    // True when the section holds at least one entry line, keyless ones included.
    bool section_has_entries(std::string_view section) const;
    bool value_exists(std::string_view section, std::string_view key) const;

    // The value as written; `fallback` only when the key is absent (an empty value stays empty).
    std::string read_string(std::string_view section, std::string_view key,
                            const std::string& fallback) const;
    // `fallback` when the key is absent, empty or not a number (see parse_integer).
    std::int32_t read_integer(std::string_view section, std::string_view key,
                              std::int32_t fallback) const;

    // Decimal with an optional sign, or hexadecimal after "$" or "0x" up to FFFFFFFF, taken as the
    // 32-bit pattern. Nothing else: no blanks, no trailing text, no out-of-range values.
    static std::optional<std::int32_t> parse_integer(std::string_view text);

    std::size_t section_count() const { return m_sections.size(); }
    // Every section's name as its last header writes it, in no particular order.
    std::vector<std::string> section_names() const;

private:
    struct Section {
        std::unordered_map<std::string, std::string> values;  // keyed by the lower-case key
        bool has_entries = false;
        std::string name;  // as written
    };

    const Section* find_section(std::string_view section) const;
    const std::string* find_value(std::string_view section, std::string_view key) const;

    std::unordered_map<std::string, Section> m_sections;  // keyed by the lower-case name
};

}  // namespace qel::gp
