#include "gp/KSCardGPCardDBini.h"

#include <sys/stat.h>

#include <cctype>
#include <exception>
#include <utility>

namespace qel::gp {

namespace {

// A directory of that name is not the file, so it does not count; the read then refuses it.
bool file_exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::uint8_t low_byte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

// What the byte conversion found wrong with a value it refused.
const char* hex_fault(const std::string& value) {
    std::size_t digits = 0;
    for (const char c : value)
        digits += std::isxdigit(static_cast<unsigned char>(c)) != 0;
    return digits == 0 ? kHexNoDigits : kHexOddDigits;
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

bool TKSCardGPCardDBini::LoadByATRHex(const std::string& atr_hex) {
    Clear();

    if (!IniFile) {
        // Whether the file exists or not, it is read: a missing file reads as an empty INI.
        ResolveFileName();
        try {
            IniFile = std::make_unique<gp::IniFile>(gp::IniFile::load(FileName));
        } catch (const std::exception&) {
            // An unreadable file is not worth failing a card for; it is tried again next time.
            return LoadFromBuiltIns(atr_hex);
        }
    }

    const gp::IniFile& ini = *IniFile;
    if (!ini.section_has_entries(atr_hex))
        return LoadFromBuiltIns(atr_hex);

    ATR.SetAsHexString(atr_hex);
    const std::string key = ATR.GetAsHexString();
    // One level only: an "Alias" inside the alias section is not followed.
    const std::string section = ini.read_string(key, "Alias", key);
    const auto read_hex = [&](util::TKUDynArraySoftLenContainer& field, const char* name) {
        const std::string value = ini.read_string(section, name, "");
        try {
            field.SetAsHexString(value);
        } catch (const util::Exception& e) {
            throw EKSCardGPCardDBHexValue(e.what(), FileName, section, name, hex_fault(value));
        }
    };

    Name = ini.read_string(section, "Name", "");
    read_hex(CardManagerAID, "CardManagerAID");
    read_hex(AUTHKey, "AUTHKey");
    read_hex(MACKey, "MACKey");
    read_hex(DEKKey, "DEKKey");
    KeyDerivationAlgo = ini.read_string(section, "KeyDerivationAlgo", "none");
    read_hex(MotherKey, "MotherKey");
    KeySetVersion = low_byte(ini.read_integer(section, "KeySetVersion", 0));
    KeyNumber = low_byte(ini.read_integer(section, "KeyNumber", 0));
    SCPVersion = low_byte(ini.read_integer(section, "SCPVersion", 0));
    SCPOption = low_byte(ini.read_integer(section, "SCPOption", 0));
    SecurityLevel = low_byte(ini.read_integer(section, "SecurityLevel", 3));
    GPVersion = ini.read_integer(section, "GPVersion", 201);
    JCVersion = ini.read_integer(section, "JCVersion", 211);
    VisaOPVersion = ini.read_integer(section, "VisaOPVersion", 0);

    Loaded = CardManagerAID.GetLength() > 0;
    return Loaded;
}

}  // namespace qel::gp
