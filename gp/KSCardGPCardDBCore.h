#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

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
    // The name of the built-in entry listed for the ATR's canonical hex; empty when none is (the
    // card then gets the e-gate entry, as any card would).
    static std::string built_in_name(const std::string& atr_hex);

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

    // Fills the profile from a record, field by field in the order of for_each_profile_field, and
    // sets Loaded. A hex text the conversion refuses leaves the fields before it filled, the rest
    // as they were, Loaded false, and raises through `refused` where the field has an INI key.
    bool load_record(const t_sc_config& record, const RefusedHex& refused = {});

    // The built-in entry LoadFromBuiltIns gives for the ATR's canonical hex, found by the bytes
    // themselves.
    bool load_built_in_by_atr(std::span<const std::uint8_t> atr);

private:
    // Every field and Loaded as `source` holds them.
    bool copy_profile(const TKSCardGPCardDBCore& source);
    bool load_built_in_entry(std::size_t index);
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

// Visits every profile field, in the order a load fills them: a load that fails on a hex value
// keeps the fields before it.
template <class Visit>
void for_each_profile_field(Visit&& visit) {
    using R = t_sc_config;
    using D = TKSCardGPCardDBCore;
    visit(ProfileField{nullptr, &R::atr, &D::ATR, ""});
    visit(ProfileField{"Name", &R::name, &D::Name, ""});
    visit(ProfileField{"CardManagerAID", &R::card_manager_aid, &D::CardManagerAID, ""});
    visit(ProfileField{"AUTHKey", &R::auth_key, &D::AUTHKey, ""});
    visit(ProfileField{"MACKey", &R::mac_key, &D::MACKey, ""});
    visit(ProfileField{"DEKKey", &R::dek_key, &D::DEKKey, ""});
    visit(
        ProfileField{"KeyDerivationAlgo", &R::key_derivation_algo, &D::KeyDerivationAlgo, "none"});
    visit(ProfileField{"MotherKey", &R::mother_key, &D::MotherKey, ""});
    visit(ProfileField{"KeySetVersion", &R::key_set_version, &D::KeySetVersion, 0});
    visit(ProfileField{"KeyNumber", &R::key_number, &D::KeyNumber, 0});
    visit(ProfileField{"SCPVersion", &R::scp_version, &D::SCPVersion, 0});
    visit(ProfileField{"SCPOption", &R::scp_option, &D::SCPOption, 0});
    visit(ProfileField{"SecurityLevel", &R::security_level, &D::SecurityLevel, 3});
    visit(ProfileField{"GPVersion", &R::gp_version, &D::GPVersion, 201});
    visit(ProfileField{"JCVersion", &R::jc_version, &D::JCVersion, 211});
    visit(ProfileField{"VisaOPVersion", &R::visa_op_version, &D::VisaOPVersion, 0});
}

}  // namespace qel::gp
