#include "gp/KSCardGPCardDBCore.h"

#include "gp/sc_config_storage.h"

namespace qel::gp {

TKSCardGPCardDBCore::TKSCardGPCardDBCore() {
    Clear();
}

bool TKSCardGPCardDBCore::LoadByATR(const util::TKUDynArraySoftLenContainer& atr) {
    return LoadByATRHex(atr.GetAsHexString());
}

bool TKSCardGPCardDBCore::EnsureLoadedByATRHex(const std::string& atr_hex) {
    if (!Loaded)
        LoadByATRHex(atr_hex);
    return Loaded;
}

bool TKSCardGPCardDBCore::EnsureLoadedByATR(const util::TKUDynArraySoftLenContainer& atr) {
    if (!Loaded)
        LoadByATR(atr);
    return Loaded;
}

void TKSCardGPCardDBCore::Clear() {
    Loaded = false;
    ATR.SetLength(0);
    Name.clear();
    AUTHKey.SetLength(0);
    MACKey.SetLength(0);
    DEKKey.SetLength(0);
    KeyDerivationAlgo.clear();
    MotherKey.SetLength(0);
    CardManagerAID.SetLength(0);
    KeySetVersion = 0;
    KeyNumber = 0;
    SCPVersion = 0;
    SCPOption = 0;
    SecurityLevel = 0;
    GPVersion = 0;
    JCVersion = 0;
    VisaOPVersion = 0;
}

bool TKSCardGPCardDBCore::LoadFromBuiltIns(const std::string& atr_hex) {
    // The table never changes once built, and every card connection looks it up: build it once
    // (50 records of strings) instead of on every lookup.
    static const t_sc_config_stor table;
    t_sc_config entry;
    table.find_by_atr(atr_hex, entry);
    ATR.SetAsHexString(entry.atr);
    CardManagerAID.SetAsHexString(entry.card_manager_aid);
    AUTHKey.SetAsHexString(entry.auth_key);
    MACKey.SetAsHexString(entry.mac_key);
    DEKKey.SetAsHexString(entry.dek_key);
    MotherKey.SetAsHexString(entry.mother_key);
    Name = entry.name;
    KeyDerivationAlgo = entry.key_derivation_algo;
    KeySetVersion = entry.key_set_version;
    KeyNumber = entry.key_number;
    SCPVersion = entry.scp_version;
    SCPOption = entry.scp_option;
    SecurityLevel = entry.security_level;
    GPVersion = entry.gp_version;
    JCVersion = entry.jc_version;
    VisaOPVersion = entry.visa_op_version;

    Loaded = CardManagerAID.GetLength() > 0;
    return Loaded;
}

}  // namespace qel::gp
