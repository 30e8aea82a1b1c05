#pragma once

#include <cstdint>
#include <string>

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
};

}  // namespace qel::gp
