#include "KSCardAPICardGP.h"

#include "card/KSCardAPIExceptions.h"
#include "gp/GPCPLC.h"
#include "gp/GPCommandsBase.h"
#include "util/Hex.h"

namespace qel::gp {

TKSCardAPICardGP::TKSCardAPICardGP(card::CardConnection connection, DWORD protocol,
                                   const std::string& reader_name)
    : TKSCardAPICardBase(std::move(connection), protocol, reader_name) {}

TKSCardAPICardGP::TKSCardAPICardGP(card::CardConnection connection, DWORD protocol,
                                   const std::string& reader_name, const ProfileFileParse& profiles)
    : TKSCardAPICardGP(std::move(connection), protocol, reader_name) {
    CardDB.share_ini_file_of(profiles);
}

void TKSCardAPICardGP::Refresh() {
    TKSCardAPICardBase::Refresh();
    ResolveCardManagerAID("");
    // Right after a connection or reset the card manager is the selected application; no SELECT
    // is needed to make it so.
    SelectedAID.SetAsArray(CardManagerAID.GetArray());
    Serial.Fill(0, 0, Serial.GetLength());
    HWID.Fill(0, 0, HWID.GetLength());
}

bool TKSCardAPICardGP::ResolveCardManagerAID(const std::string& default_aid_hex) {
    CardManagerAID.SetAsHexString(default_aid_hex);
    if (!CardDB.LoadByATR(ATR))
        return false;
    CardManagerAID.SetAsArray(CardDB.CardManagerAID.GetArray());
    return true;
}

void TKSCardAPICardGP::SelectApplet(const std::string& aid_hex, std::int32_t le,
                                    util::ByteArray& response) {
    response.clear();
    if (aid_hex.empty())
        return;
    SelectApplet(util::from_hex(aid_hex), le, response);
}

void TKSCardAPICardGP::SelectApplet(const util::ByteArray& aid, std::int32_t le,
                                    util::ByteArray& response) {
    SelectApplet(std::span<const std::uint8_t>(aid), le, response);
}

void TKSCardAPICardGP::SelectApplet(std::span<const std::uint8_t> aid, std::int32_t le,
                                    util::ByteArray& response) {
    response.clear();
    if (aid.empty())
        return;
    // The command BuildSelect makes, built on the stack: every card search sends one.
    send_apdu(kSelectByAid.cla, kSelectByAid.ins, kSelectByAid.p1, kSelectByAid.p2, aid, response,
              le);
    SelectedAID.GetArray().assign(aid.begin(), aid.end());
}

void TKSCardAPICardGP::SelectCardManager(std::int32_t le, util::ByteArray& response) {
    const util::ByteArray selected = SelectedAID.GetArray();
    SelectApplet(CardManagerAID.GetArray(), le, response);
    SelectedAID.SetAsArray(selected);
}

bool TKSCardAPICardGP::manager_not_selected() const {
    return SelectedAID.GetArray() != CardManagerAID.GetArray();
}

void TKSCardAPICardGP::GetCPLCData(util::ByteArray& response) {
    const bool switch_selection = RestoreSelection && manager_not_selected();
    if (switch_selection) {
        util::ByteArray scratch;
        SelectCardManager(255, scratch);
    }
    util::ByteArray apdu;
    TKGPCommandsBase::BuildGetCPLCData(apdu);
    SendAPDUBytes(apdu, response, static_cast<std::int32_t>(CplcLayout::kAnswerLength));
    if (response.size() != CplcLayout::kAnswerLength) {
        throw card::EKSCardAPIWinAPIException(kErrCPLCWrongLength, 0);
    }
    if (switch_selection) {
        // SelectApplet records its AID in SelectedAID: it gets a copy, not SelectedAID's bytes.
        const util::ByteArray selected = SelectedAID.GetArray();
        util::ByteArray scratch;
        SelectApplet(selected, 255, scratch);
    }
}

util::TKUDynArrayHardLenContainer& TKSCardAPICardGP::GetSerial() {
    util::ByteArray cplc;
    GetCPLCData(cplc);
    const auto serial_begin = cplc.begin() + CplcLayout::kICSerialOffset;
    Serial.SetAsArray(util::ByteArray(serial_begin, serial_begin + CplcLayout::kICSerialLength));
    HWID.SetAsArray(util::ByteArray(serial_begin, serial_begin + CplcLayout::kHWIDLength));
    return Serial;
}

util::TKUDynArrayHardLenContainer& TKSCardAPICardGP::GetHWID() {
    GetSerial();
    return HWID;
}

}  // namespace qel::gp
