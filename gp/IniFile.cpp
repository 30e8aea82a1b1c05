#include "gp/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "util/Exception.h"
#include "util/Hex.h"
#include "util/OwnedFd.h"

namespace qel::gp {

namespace {

bool is_blank(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_blank(text[begin]))
        ++begin;
    while (end > begin && is_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

[[noreturn]] void refuse(const std::string& path, const char* why) {
    throw util::Exception("INI file \"" + path + "\" cannot be read: " + why);
}

}  // namespace

IniFile IniFile::load(const std::string& path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever.
    const util::OwnedFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.holds()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return IniFile{};
        refuse(path, "cannot open");
    }

    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        refuse(path, "cannot query");
    if (!S_ISREG(info.st_mode))
        refuse(path, "not a regular file");
    if (info.st_size < 0 || static_cast<std::uintmax_t>(info.st_size) > kMaxFileSize) {
        refuse(path, "too large");
    }

    // Room for the size fstat saw and one byte more, so that a file read whole ends with a read
    // of nothing. The file may still grow after fstat (and files of some kernel file systems
    // report no size at all): the buffer then grows as the reads need, up to one byte past the
    // limit, which is enough to know the file is too large.
    std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t total = 0;
    while (true) {
        if (total == text.size()) {
            if (text.size() > kMaxFileSize)
                break;
            text.resize(std::min(kMaxFileSize + 1, std::max<std::size_t>(2 * text.size(), 4096)));
        }
        const ssize_t n = ::read(file.get(), text.data() + total, text.size() - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            refuse(path, "read error");
        }
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    if (total > kMaxFileSize)
        refuse(path, "too large");
    text.resize(total);
    return parse(text);
}

IniFile IniFile::parse(std::string_view text) {
    if (text.size() > kMaxFileSize)
        throw util::Exception("INI text is too large");
    if (text.find('\0') != std::string_view::npos) {
        throw util::Exception("INI text holds a NUL byte");
    }

    IniFile ini;
    Section* current = nullptr;
    std::size_t headers = 0;
    std::size_t entries = 0;
    // Editors elsewhere start UTF-8 files with a byte-order mark; left in place it would glue
    // itself to the first line and hide the first section.
    std::size_t pos = text.starts_with(kUtf8ByteOrderMark) ? kUtf8ByteOrderMark.size() : 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view raw = text.substr(pos, end - pos);
        pos = end + 1;  // CR LF leaves an empty line behind, which is skipped like any other
        if (raw.size() > kMaxLineLength)
            throw util::Exception("INI line is too long");

        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';')
            continue;

        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            if (++headers > kMaxSections)
                throw util::Exception("INI has too many sections");
            // A repeated name starts over: the earlier section of that name is no longer seen.
            const std::string_view name = trim(line.substr(1, line.size() - 2));
            Section& section = ini.m_sections[lower_ascii(name)];
            section = Section{};
            section.name = std::string(name);
            current = &section;
            continue;
        }
        if (current == nullptr)
            continue;

        if (++entries > kMaxEntries)
            throw util::Exception("INI has too many entries");
        current->has_entries = true;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        current->values[lower_ascii(trim(line.substr(0, eq)))] =
            std::string(trim(line.substr(eq + 1)));
    }
    return ini;
}

const IniFile::Section* IniFile::find_section(std::string_view section) const {
    const auto it = m_sections.find(lower_ascii(section));
    return it == m_sections.end() ? nullptr : &it->second;
}

const std::string* IniFile::find_value(std::string_view section, std::string_view key) const {
    const Section* found = find_section(section);
    if (found == nullptr)
        return nullptr;
    const auto it = found->values.find(lower_ascii(key));
    return it == found->values.end() ? nullptr : &it->second;
}

std::vector<std::string> IniFile::section_names() const {
    std::vector<std::string> names;
    names.reserve(m_sections.size());
    for (const auto& [key, section] : m_sections)
        names.push_back(section.name);
    return names;
}

bool IniFile::section_exists(std::string_view section) const {
    return find_section(section) != nullptr;
}

bool IniFile::section_has_entries(std::string_view section) const {
    const Section* found = find_section(section);
    return found != nullptr && found->has_entries;
}

bool IniFile::value_exists(std::string_view section, std::string_view key) const {
    return find_value(section, key) != nullptr;
}

std::string IniFile::read_string(std::string_view section, std::string_view key,
                                 const std::string& fallback) const {
    const std::string* value = find_value(section, key);
    return value != nullptr ? *value : fallback;
}

std::int32_t IniFile::read_integer(std::string_view section, std::string_view key,
                                   std::int32_t fallback) const {
    const std::string* value = find_value(section, key);
    if (value == nullptr)
        return fallback;
    return parse_integer(*value).value_or(fallback);
}

std::optional<std::int32_t> IniFile::parse_integer(std::string_view text) {
    std::size_t prefix = 0;
    if (!text.empty() && text.front() == '$') {
        prefix = 1;
    } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        prefix = 2;
    }
    if (prefix != 0) {
        const std::string_view digits = text.substr(prefix);
        if (digits.empty())
            return std::nullopt;
        std::uint64_t value = 0;
        for (char c : digits) {
            const int d = util::hex_digit_value(c);
            if (d < 0)
                return std::nullopt;
            value = value << 4 | static_cast<std::uint64_t>(d);
            if (value > std::numeric_limits<std::uint32_t>::max())
                return std::nullopt;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }

    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace qel::gp
