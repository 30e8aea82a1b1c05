#include "KSCardAPICardGP.h"

#include "card/KSCardAPIExceptions.h"
#include "gp/GPCPLC.h"
#include "gp/GPCommandsBase.h"
#include "util/Hex.h"

namespace qel::gp {

TKSCardAPICardGP::TKSCardAPICardGP(card::CardConnection connection, DWORD Protocol,
                                   const std::string& ReaderName)
    : TKSCardAPICardBase(std::move(connection), Protocol, ReaderName) {}

TKSCardAPICardGP::TKSCardAPICardGP(card::CardConnection connection, DWORD Protocol,
                                   const std::string& ReaderName, const ProfileFileParse& profiles)
    : TKSCardAPICardGP(std::move(connection), Protocol, ReaderName) {
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

void TKSCardAPICardGP::SelectApplet(const std::string& aid_hex, std::int32_t Le,
                                    util::ByteArray& Response) {
    Response.clear();
    if (aid_hex.empty())
        return;
    SelectApplet(util::from_hex(aid_hex), Le, Response);
}

void TKSCardAPICardGP::SelectApplet(const util::ByteArray& aid, std::int32_t Le,
                                    util::ByteArray& Response) {
    SelectApplet(std::span<const std::uint8_t>(aid), Le, Response);
}

void TKSCardAPICardGP::SelectApplet(std::span<const std::uint8_t> aid, std::int32_t Le,
                                    util::ByteArray& Response) {
    Response.clear();
    if (aid.empty())
        return;
    // The command BuildSelect makes, built on the stack: every card search sends one.
    send_apdu(kSelectByAid.cla, kSelectByAid.ins, kSelectByAid.p1, kSelectByAid.p2, aid, Response,
              Le);
    SelectedAID.GetArray().assign(aid.begin(), aid.end());
}

void TKSCardAPICardGP::SelectCardManager(std::int32_t Le, util::ByteArray& Response) {
    const util::ByteArray selected = SelectedAID.GetArray();
    SelectApplet(CardManagerAID.GetArray(), Le, Response);
    SelectedAID.SetAsArray(selected);
}

bool TKSCardAPICardGP::ManagerIsNotSelected() const {
    return SelectedAID.GetArray() != CardManagerAID.GetArray();
}

void TKSCardAPICardGP::GetCPLCData(util::ByteArray& Response) {
    const bool switch_selection = RestoreSelection && ManagerIsNotSelected();
    if (switch_selection) {
        util::ByteArray scratch;
        SelectCardManager(255, scratch);
    }
    util::ByteArray apdu;
    TKGPCommandsBase::BuildGetCPLCData(apdu);
    SendAPDUBytes(apdu, Response, static_cast<std::int32_t>(TKGPCPLC::kAnswerLength));
    if (Response.size() != TKGPCPLC::kAnswerLength) {
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
    const auto serial_begin = cplc.begin() + TKGPCPLC::kICSerialOffset;
    Serial.SetAsArray(util::ByteArray(serial_begin, serial_begin + TKGPCPLC::kICSerialLength));
    HWID.SetAsArray(util::ByteArray(serial_begin, serial_begin + TKGPCPLC::kHWIDLength));
    return Serial;
}

util::TKUDynArrayHardLenContainer& TKSCardAPICardGP::GetHWID() {
    GetSerial();
    return HWID;
}

}  // namespace qel::gp
