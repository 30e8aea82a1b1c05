#include "gp/KSCardGPCardDBini.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "util/Hex.h"

namespace qel::gp {

namespace {

// The shared parse of a file that is not there.
const std::shared_ptr<const gp::IniFile>& missing_file() {
    static const std::shared_ptr<const gp::IniFile> empty = std::make_shared<const gp::IniFile>();
    return empty;
}

// Every keyed field of the profile from one section; absent keys take their INI defaults. Hex
// values stay text here: the conversion is the load's.
t_sc_config read_profile(const gp::IniFile& ini, const std::string& section) {
    t_sc_config record;
    for_each_profile_field([&](const auto& field) {
        if (field.key == nullptr)
            return;
        auto& value = record.*field.record;
        using Value = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, std::string>) {
            value = ini.read_string(section, field.key, field.ini_default);
        } else {
            // The 8-bit fields keep the low byte of what the file says.
            value = static_cast<Value>(ini.read_integer(section, field.key, field.ini_default));
        }
    });
    return record;
}

// What the byte conversion found wrong with a value it refused.
const char* hex_fault(const std::string& value) {
    const bool has_digit = std::any_of(value.begin(), value.end(),
                                       [](char c) { return util::hex_digit_value(c) >= 0; });
    return has_digit ? kHexOddDigits : kHexNoDigits;
}

// The problem of a value the conversion takes only by skipping characters other than the
// separators a user writes between bytes, named by the first of them; nothing if it holds none.
std::optional<std::string> skipped_characters(const std::string& value) {
    const auto skipped = std::find_if(value.begin(), value.end(), [](char c) {
        return util::hex_digit_value(c) < 0 && c != ' ' && c != '\t' && c != ':';
    });
    if (skipped == value.end())
        return std::nullopt;
    const auto byte = static_cast<unsigned char>(*skipped);
    // The line goes to a terminal, which would obey a control byte.
    const std::string shown =
        byte < 0x20 || byte >= 0x7F ? "\\x" + util::hex_digits(byte, 2) : std::string(1, *skipped);
    return "holds \"" + shown + "\", " + kHexSkipped;
}

// A present, non-empty value of the field that its load refuses, or nothing.
template <class Field>
std::optional<std::string> problem_of(const Field& field, const std::string& value) {
    using Text = std::decay_t<decltype(t_sc_config{}.*field.record)>;
    using Target = std::decay_t<decltype(std::declval<TKSCardGPCardDBCore&>().*field.field)>;
    if (value.empty())
        return std::nullopt;
    if constexpr (std::is_same_v<Target, util::TKUDynArraySoftLenContainer>) {
        try {
            (void)util::from_hex(value);
        } catch (const util::Exception&) {
            return std::string(hex_fault(value));
        }
        return skipped_characters(value);
    } else if constexpr (!std::is_same_v<Text, std::string>) {
        if (!IniFile::parse_integer(value))
            return std::string(kNotANumber);
    }
    return std::nullopt;
}

}  // namespace

std::string absolute_file_name(const std::string& file_name) {
    if (file_name.empty() || file_name.front() == '/')
        return file_name;
    std::error_code error;
    std::string folder = std::filesystem::current_path(error).string();
    // A folder removed, or outside the process's root, has no path to give.
    if (error || folder.empty() || folder.front() != '/')
        return file_name;
    std::string_view name = file_name;
    while (name.rfind("./", 0) == 0) {
        const std::size_t rest = name.find_first_not_of('/', 1);
        name = rest == std::string_view::npos ? std::string_view{} : name.substr(rest);
    }
    if (folder.back() != '/')
        folder += '/';
    return folder + std::string(name);
}

std::vector<ProfileProblem> profile_problems(const IniFile& ini) {
    std::vector<std::string> sections = ini.section_names();
    std::sort(sections.begin(), sections.end());
    std::vector<ProfileProblem> problems;
    for (const std::string& section : sections) {
        for_each_profile_field([&](const auto& field) {
            if (field.key == nullptr || !ini.value_exists(section, field.key))
                return;
            if (auto problem = problem_of(field, ini.read_string(section, field.key, "")))
                problems.push_back({section, field.key, std::move(*problem)});
        });
    }
    return problems;
}

ProfileOrigin profile_origin(const IniFile* ini, const std::string& atr_hex) {
    if (ini != nullptr && ini->section_has_entries(atr_hex))
        return {ProfileOrigin::Kind::IniSection, ini->read_string(atr_hex, "Alias", atr_hex)};
    std::string name = TKSCardGPCardDBCore::built_in_name(atr_hex);
    if (name.empty())
        return {};
    return {ProfileOrigin::Kind::BuiltIn, std::move(name)};
}

ProfileHexError::ProfileHexError(const std::string& message, std::string file_name,
                                 std::string section, std::string key, std::string fault)
    : util::Exception(message),
      file_name(std::move(file_name)),
      section(std::move(section)),
      key(std::move(key)),
      fault(std::move(fault)) {}

std::string ProfileHexError::reason() const {
    const std::string file = file_name.rfind("./", 0) == 0 ? file_name.substr(2) : file_name;
    return file + " [" + section + "] " + key + ": " + fault;
}

TKSCardGPCardDBini::TKSCardGPCardDBini(const std::string& file_name) : FileName(file_name) {}

bool TKSCardGPCardDBini::ResolveFileName() {
    return resolve_file_name(FileName) == FileState::Present;
}

TKSCardGPCardDBini::FileState TKSCardGPCardDBini::resolve_file_name(std::string& file_name) {
    const auto state_of = [](const std::string& path) {
        if (path.empty())
            return FileState::Missing;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            return errno == ENOENT || errno == ENOTDIR ? FileState::Missing : FileState::Other;
        // A directory of that name is not the file, so it does not count; the read then refuses
        // it.
        return S_ISDIR(info.st_mode) ? FileState::Other : FileState::Present;
    };
    if (state_of(file_name) == FileState::Present)
        return FileState::Present;
    file_name = kDefaultCardDBFileName;
    return state_of(file_name);
}

bool TKSCardGPCardDBini::parse_ini_file() {
    ProfileFileParse parse = parse_profile_file(FileName);
    FileName = std::move(parse.file_name);
    IniFile = std::move(parse.ini);
    absolute_name = std::move(parse.absolute_name);
    return IniFile != nullptr;
}

ProfileFileParse TKSCardGPCardDBini::parse_profile_file(std::string file_name) {
    const FileState state = resolve_file_name(file_name);
    ProfileFileParse parse{std::move(file_name), nullptr, {}};
    // A missing file reads as an empty INI. It is the usual case, and the stat that found it
    // missing already says what an open would.
    if (state == FileState::Missing) {
        parse.ini = missing_file();
        return parse;
    }
    parse.absolute_name = absolute_file_name(parse.file_name);
    try {
        parse.ini = std::make_shared<const gp::IniFile>(gp::IniFile::load(parse.file_name));
    } catch (const std::exception&) {
        // An unreadable file is not worth failing a card for; a database without a parse tries
        // it again at its next load.
    }
    return parse;
}

std::string shown_file_name(const ProfileFileParse& parse) {
    return parse.absolute_name.empty() ? absolute_file_name(parse.file_name) : parse.absolute_name;
}

void TKSCardGPCardDBini::share_ini_file_of(const TKSCardGPCardDBini& other) {
    share_ini_file_of(ProfileFileParse{other.FileName, other.IniFile, other.absolute_name});
}

void TKSCardGPCardDBini::share_ini_file_of(const ProfileFileParse& parse) {
    if (!parse.ini)
        return;
    FileName = parse.file_name;
    IniFile = parse.ini;
    absolute_name = parse.absolute_name;
}

bool TKSCardGPCardDBini::LoadByATRHex(const std::string& atr_hex) {
    Clear();
    return load_by_atr_hex(profiles_file(), atr_hex);
}

bool TKSCardGPCardDBini::LoadByATR(const util::TKUDynArraySoftLenContainer& atr) {
    Clear();
    const gp::IniFile* ini = profiles_file();
    if (ini == nullptr || ini->section_count() == 0)
        return load_built_in_by_atr(atr.GetArray());
    return load_by_atr_hex(ini, atr.GetAsHexString());
}

const gp::IniFile* TKSCardGPCardDBini::profiles_file() {
    if (!IniFile)
        parse_ini_file();
    return IniFile.get();
}

bool TKSCardGPCardDBini::load_by_atr_hex(const gp::IniFile* file, const std::string& atr_hex) {
    if (file == nullptr || !file->section_has_entries(atr_hex))
        return LoadFromBuiltIns(atr_hex);
    const gp::IniFile& ini = *file;

    // An ATR text that is no hex fails here with the conversion's own error.
    const std::string key = util::to_hex(util::from_hex(atr_hex));
    // One level only: an "Alias" inside the alias section is not followed.
    const std::string section = ini.read_string(key, "Alias", key);
    t_sc_config record = read_profile(ini, section);
    record.atr = key;
    return load_record(
        record, [&](const char* name, const std::string& value, const util::Exception& refusal) {
            throw ProfileHexError(refusal.what(), absolute_name, section, name, hex_fault(value));
        });
}

}  // namespace qel::gp
