#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>

#include "gp/sc_config_storage.h"
#include "util/Exception.h"
#include "util/KUDynArraySoftLenContainer.h"

namespace qel::gp {

// The profile of one card type (card manager AID, GlobalPlatform keys and versions) looked up by
// ATR, with the built-in table as the source that never fails. Where the profile comes from
// first is the business of the derived class.
class TKSCardGPCardDBCore {
public:
    virtual ~TKSCardGPCardDBCore() = default;
    TKSCardGPCardDBCore(const TKSCardGPCardDBCore&) = delete;
    TKSCardGPCardDBCore& operator=(const TKSCardGPCardDBCore&) = delete;

    // Every load starts from a cleared profile and returns the new value of Loaded.
    virtual bool LoadByATRHex(const std::string& atr_hex) = 0;
    // Always reloads, with the ATR in canonical hex (upper case, no separators).
    virtual bool LoadByATR(const util::TKUDynArraySoftLenContainer& atr);
    // Load only when nothing is loaded yet; the ATR of a loaded profile is not compared.
    virtual bool EnsureLoadedByATRHex(const std::string& atr_hex);
    virtual bool EnsureLoadedByATR(const util::TKUDynArraySoftLenContainer& atr);

    bool IsLoaded() const { return Loaded; }
    void Clear();
    // Built-in entry for the ATR, or the e-gate entry when the ATR is not listed.
    bool LoadFromBuiltIns(const std::string& atr_hex);

    // True once a profile with a non-empty CardManagerAID has been loaded.
    bool Loaded = false;
    util::TKUDynArraySoftLenContainer ATR;
    std::string Name;
    util::TKUDynArraySoftLenContainer AUTHKey;
    util::TKUDynArraySoftLenContainer MACKey;
    util::TKUDynArraySoftLenContainer DEKKey;
    std::string KeyDerivationAlgo;
    util::TKUDynArraySoftLenContainer MotherKey;
    util::TKUDynArraySoftLenContainer CardManagerAID;
    std::uint8_t KeySetVersion = 0;
    std::uint8_t KeyNumber = 0;
    std::uint8_t SCPVersion = 0;
    std::uint8_t SCPOption = 0;
    std::uint8_t SecurityLevel = 0;
    std::int32_t GPVersion = 0;
    std::int32_t JCVersion = 0;
    std::int32_t VisaOPVersion = 0;

protected:
    TKSCardGPCardDBCore();

    // Told the INI key and the text of a hex value the conversion refused, and the refusal;
    // expected to throw something more telling.
    using RefusedHex = std::function<void(const char* key, const std::string& text,
                                          const util::Exception& refusal)>;

    // Fills the profile from a record, field by field in the order of kProfileFields, and sets
    // Loaded. A hex text the conversion refuses leaves the fields before it filled, the rest as
    // they were, Loaded false, and raises through `refused` where the field has an INI key.
    bool load_record(const t_sc_config& record, const RefusedHex& refused = {});
};

// One profile field as the three places that know it name it: the INI key (none for the ATR,
// which names the section instead), the built-in record's member, and the database's member;
// with the value a profile read from an INI section gets when the key is absent.
template <class Record, class Field, class Default>
struct ProfileField {
    const char* key;
    Record t_sc_config::*record;
    Field TKSCardGPCardDBCore::*field;
    Default ini_default;
};
template <class Record, class Field, class Default>
ProfileField(const char*, Record t_sc_config::*, Field TKSCardGPCardDBCore::*, Default)
    -> ProfileField<Record, Field, Default>;

// In the order a load fills them: a load that fails on a hex value keeps the fields before it.
inline constexpr std::tuple kProfileFields{
    ProfileField{nullptr, &t_sc_config::atr, &TKSCardGPCardDBCore::ATR, ""},
    ProfileField{"Name", &t_sc_config::name, &TKSCardGPCardDBCore::Name, ""},
    ProfileField{"CardManagerAID", &t_sc_config::card_manager_aid,
                 &TKSCardGPCardDBCore::CardManagerAID, ""},
    ProfileField{"AUTHKey", &t_sc_config::auth_key, &TKSCardGPCardDBCore::AUTHKey, ""},
    ProfileField{"MACKey", &t_sc_config::mac_key, &TKSCardGPCardDBCore::MACKey, ""},
    ProfileField{"DEKKey", &t_sc_config::dek_key, &TKSCardGPCardDBCore::DEKKey, ""},
    ProfileField{"KeyDerivationAlgo", &t_sc_config::key_derivation_algo,
                 &TKSCardGPCardDBCore::KeyDerivationAlgo, "none"},
    ProfileField{"MotherKey", &t_sc_config::mother_key, &TKSCardGPCardDBCore::MotherKey, ""},
    ProfileField{"KeySetVersion", &t_sc_config::key_set_version,
                 &TKSCardGPCardDBCore::KeySetVersion, 0},
    ProfileField{"KeyNumber", &t_sc_config::key_number, &TKSCardGPCardDBCore::KeyNumber, 0},
    ProfileField{"SCPVersion", &t_sc_config::scp_version, &TKSCardGPCardDBCore::SCPVersion, 0},
    ProfileField{"SCPOption", &t_sc_config::scp_option, &TKSCardGPCardDBCore::SCPOption, 0},
    ProfileField{"SecurityLevel", &t_sc_config::security_level, &TKSCardGPCardDBCore::SecurityLevel,
                 3},
    ProfileField{"GPVersion", &t_sc_config::gp_version, &TKSCardGPCardDBCore::GPVersion, 201},
    ProfileField{"JCVersion", &t_sc_config::jc_version, &TKSCardGPCardDBCore::JCVersion, 211},
    ProfileField{"VisaOPVersion", &t_sc_config::visa_op_version,
                 &TKSCardGPCardDBCore::VisaOPVersion, 0},
};

template <class Visit>
void for_each_profile_field(Visit&& visit) {
    std::apply([&](const auto&... field) { (visit(field), ...); }, kProfileFields);
}

}  // namespace qel::gp
