#include "gp/KSCardGPCardDBini.h"

#include <sys/stat.h>

#include <exception>

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

}  // namespace

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

    Name = ini.read_string(section, "Name", "");
    CardManagerAID.SetAsHexString(ini.read_string(section, "CardManagerAID", ""));
    AUTHKey.SetAsHexString(ini.read_string(section, "AUTHKey", ""));
    MACKey.SetAsHexString(ini.read_string(section, "MACKey", ""));
    DEKKey.SetAsHexString(ini.read_string(section, "DEKKey", ""));
    KeyDerivationAlgo = ini.read_string(section, "KeyDerivationAlgo", "none");
    MotherKey.SetAsHexString(ini.read_string(section, "MotherKey", ""));
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
