#include "gp/KSCardGPCardDBini.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <type_traits>
#include <utility>

#include "util/Hex.h"

namespace qel::gp {

namespace {

// A directory of that name is not the file, so it does not count; the read then refuses it.
bool file_exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
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

}  // namespace

EKSCardGPCardDBHexValue::EKSCardGPCardDBHexValue(const std::string& message, std::string FileName,
                                                 std::string Section, std::string Key,
                                                 std::string Fault)
    : util::Exception(message),
      FileName(std::move(FileName)),
      Section(std::move(Section)),
      Key(std::move(Key)),
      Fault(std::move(Fault)) {}

std::string EKSCardGPCardDBHexValue::Reason() const {
    const std::string file = FileName.rfind("./", 0) == 0 ? FileName.substr(2) : FileName;
    return file + " [" + Section + "] " + Key + ": " + Fault;
}

TKSCardGPCardDBini::TKSCardGPCardDBini(const std::string& file_name) : FileName(file_name) {}

bool TKSCardGPCardDBini::ResolveFileName() {
    if (file_exists(FileName))
        return true;
    FileName = kDefaultCardDBFileName;
    return file_exists(FileName);
}

bool TKSCardGPCardDBini::parse_ini_file() {
    // Whether the file exists or not, it is read: a missing file reads as an empty INI.
    ResolveFileName();
    try {
        IniFile = std::make_shared<const gp::IniFile>(gp::IniFile::load(FileName));
    } catch (const std::exception&) {
        // An unreadable file is not worth failing a card for; it is tried again next time.
        IniFile.reset();
        return false;
    }
    return true;
}

void TKSCardGPCardDBini::share_ini_file_of(const TKSCardGPCardDBini& other) {
    if (!other.IniFile)
        return;
    FileName = other.FileName;
    IniFile = other.IniFile;
}

bool TKSCardGPCardDBini::LoadByATRHex(const std::string& atr_hex) {
    Clear();
    if (!IniFile && !parse_ini_file())
        return LoadFromBuiltIns(atr_hex);

    const gp::IniFile& ini = *IniFile;
    if (!ini.section_has_entries(atr_hex))
        return LoadFromBuiltIns(atr_hex);

    // An ATR text that is no hex fails here with the conversion's own error.
    const std::string key = util::to_hex(util::from_hex(atr_hex));
    // One level only: an "Alias" inside the alias section is not followed.
    const std::string section = ini.read_string(key, "Alias", key);
    t_sc_config record = read_profile(ini, section);
    record.atr = key;
    return load_record(record, [&](const char* name, const std::string& value,
                                   const util::Exception& refusal) {
        throw EKSCardGPCardDBHexValue(refusal.what(), FileName, section, name, hex_fault(value));
    });
}

}  // namespace qel::gp
