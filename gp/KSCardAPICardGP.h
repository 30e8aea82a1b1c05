#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "card/KSCardAPICardBase.h"
#include "gp/KSCardGPCardDB.h"
#include "util/KUDynArrayHardLenContainer.h"
#include "util/KUDynArraySoftLenContainer.h"

namespace qel::gp {

// A connected GlobalPlatform card: knows its card manager AID from the profile of its ATR,
// selects applications by AID, keeps a record of which one it regards as selected, and reads the
// CPLC data with its serial and hardware identifier. Made through
// card::TKSCardAPICardBase::Create<TKSCardAPICardGP>(connection, ...).
class TKSCardAPICardGP : public card::TKSCardAPICardBase {
public:
    TKSCardAPICardGP(card::CardConnection connection, DWORD protocol,
                     const std::string& reader_name);
    // As above, with the profile file as parsed already: a search over several readers reads the
    // file once for all the cards it connects.
    TKSCardAPICardGP(card::CardConnection connection, DWORD protocol,
                     const std::string& reader_name, const ProfileFileParse& profiles);

    // Base refresh (ATR), profile lookup, and the card manager counts as selected again.
    void Refresh() override;

    // CardManagerAID from the card's profile; the default when the profile has none (False).
    bool ResolveCardManagerAID(const std::string& default_aid_hex);

    // SELECT by AID. An empty AID sends nothing. SelectedAID follows only a successful SELECT.
    void SelectApplet(const std::string& aid_hex, std::int32_t le, util::ByteArray& response);
    void SelectApplet(const util::ByteArray& aid, std::int32_t le, util::ByteArray& response);
    void SelectApplet(std::span<const std::uint8_t> aid, std::int32_t le,
                      util::ByteArray& response);
    // SELECT of the card manager that leaves SelectedAID naming the application selected before,
    // so that GetCPLCData can find its way back.
    void SelectCardManager(std::int32_t le, util::ByteArray& response);
    // GET DATA for the CPLC (45 bytes with tag and length), switching to the card manager and
    // back when another application is selected.
    void GetCPLCData(util::ByteArray& response);

    // Both read the CPLC anew and return the card's own containers.
    util::TKUDynArrayHardLenContainer& GetSerial();
    util::TKUDynArrayHardLenContainer& GetHWID();

    util::TKUDynArrayHardLenContainer Serial{4};
    util::TKUDynArrayHardLenContainer HWID{8};
    util::TKUDynArraySoftLenContainer SelectedAID;
    util::TKUDynArraySoftLenContainer CardManagerAID;
    bool RestoreSelection = true;
    TKSCardGPCardDB CardDB{""};

private:
    bool manager_not_selected() const;
};

inline constexpr const char* kErrCPLCWrongLength =
    "Error issuing GetData command for GetCPLCData. Wrong response length!";

}  // namespace qel::gp
