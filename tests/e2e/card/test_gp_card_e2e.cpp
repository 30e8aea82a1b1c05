// The GlobalPlatform card through the real stack: profile by ATR, CPLC serial and hardware
// identifier, and the selection cycle of a CPLC read while the dongle applet is selected.

#include <string>
#include <tuple>
#include <vector>

#include "gp/KSCardAPICardGP.h"
#include "tests/e2e/card/card_e2e.h"

namespace qel::e2e {
namespace {

using gp::TKSCardAPICardGP;

const std::string kSelectCardManager = "00A4040007" + kCardManagerAidHex;
const std::string kSelectDongle = "00A4040008" + kDongleAidHex;

// GET DATA for the CPLC as it goes out: under T=0 with Le 2D (45), under T=1 without Le.
std::string get_cplc_command(bool t1) {
    return t1 ? "80CA9F7F" : "80CA9F7F2D";
}

class GpCardE2e : public CardE2eTest {};

class GpCardProtocols : public GpCardE2e, public ::testing::WithParamInterface<bool> {};

// Both ATRs end at the e-gate profile: the T=0 one is in the built-in table, the T=1 one in
// neither table and falls back to it.
TEST_P(GpCardProtocols, CardManagerComesFromTheProfileAndCountsAsSelected) {
    const VirtualCard& vcard = start_card(with_protocol({}, GetParam()));
    const BoundContext context;
    const auto card = connect<TKSCardAPICardGP>(context, kReaderNames[0]);
    EXPECT_EQ(card->CardManagerAID.GetAsHexString(), kCardManagerAidHex);
    EXPECT_EQ(card->SelectedAID.GetAsHexString(), kCardManagerAidHex);
    EXPECT_EQ(card->Serial.GetAsHexString(), "00000000");
    EXPECT_EQ(card->HWID.GetAsHexString(), "0000000000000000");
    EXPECT_TRUE(commands_received(vcard).empty()) << "a SELECT went out on connection";
}

TEST_P(GpCardProtocols, CplcReadWithTheAppletSelectedComesBackToTheApplet) {
    const bool t1 = GetParam();
    const VirtualCard& vcard = start_card(with_protocol({"--cplc-serial", "C0FFEE11"}, t1));
    const BoundContext context;
    const auto card = connect<TKSCardAPICardGP>(context, kReaderNames[0]);
    util::ByteArray response;
    card->SelectApplet(kDongleAidHex, 255, response);
    ASSERT_EQ(card->SelectedAID.GetAsHexString(), kDongleAidHex);

    card->GetCPLCData(response);
    ASSERT_EQ(response.size(), 45u);
    EXPECT_EQ(hex(response).substr(0, 6), "9F7F2A");
    EXPECT_EQ(hex(response).substr(30, 16), "C0FFEE11" + kCplcBatchAndModule);
    EXPECT_EQ(card->SelectedAID.GetAsHexString(), kDongleAidHex);
    EXPECT_EQ(commands_received(vcard),
              (std::vector<std::string>{kSelectDongle, kSelectCardManager, get_cplc_command(t1),
                                        kSelectDongle}));

    // The card really has the applet selected again: its own command is answered.
    card->SendAPDU(0x40, 0x10, 0x62, kP2Serial, response, 255, util::ByteString(1, '\xFF'));
    EXPECT_EQ(hex(response), kDefaultSerial);
}

INSTANTIATE_TEST_SUITE_P(Protocols, GpCardProtocols, ::testing::Bool(),
                         [](const auto& info) { return protocol_suffix(info.param).substr(1); });

// --- Serial and hardware identifier ------------------------------------------------------------

struct SerialCase {
    const char* name;
    Options options;
    std::string serial;
};

class GpCardSerial : public GpCardE2e,
                     public ::testing::WithParamInterface<std::tuple<SerialCase, bool>> {};

TEST_P(GpCardSerial, SerialAndHwidComeFromOneGetDataEach) {
    const auto& [serial_case, t1] = GetParam();
    const VirtualCard& vcard = start_card(with_protocol(serial_case.options, t1));
    const BoundContext context;
    const auto card = connect<TKSCardAPICardGP>(context, kReaderNames[0]);

    EXPECT_EQ(card->GetSerial().GetAsHexString(), serial_case.serial);
    EXPECT_EQ(card->HWID.GetAsHexString(), serial_case.serial + kCplcBatchAndModule);
    EXPECT_EQ(card->GetHWID().GetAsHexString(), serial_case.serial + kCplcBatchAndModule);
    // The card manager is the recorded selection, so no SELECT goes out around them.
    EXPECT_EQ(commands_received(vcard), std::vector<std::string>(2, get_cplc_command(t1)));
}

INSTANTIATE_TEST_SUITE_P(
    Cards, GpCardSerial,
    ::testing::Combine(
        ::testing::Values(SerialCase{"DefaultSerial", {}, "12345678"},
                          SerialCase{"ChosenSerial", {"--cplc-serial", "8000FF01"}, "8000FF01"}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + protocol_suffix(std::get<1>(info.param));
    });

// --- CPLC answers of the wrong size ------------------------------------------------------------

struct CplcCase {
    const char* name;
    Options options;
    std::string message;
};

class GpCardBadCplc : public GpCardE2e, public ::testing::WithParamInterface<CplcCase> {};

TEST_P(GpCardBadCplc, CplcOfAnotherLengthIsRefused) {
    start_card(GetParam().options);
    const BoundContext context;
    const auto card = connect<TKSCardAPICardGP>(context, kReaderNames[0]);
    EXPECT_EQ(failure_text([&] { card->GetSerial(); }), GetParam().message);
    EXPECT_EQ(card->Serial.GetAsHexString(), "00000000");
}

// 42 CPLC bytes without tag and length; and one byte too many.
const std::string kCplcWithoutTag =
    "4790503F40701291810573051234567801024812" + std::string(44, '0');
const std::string kCplcTooLong = "9F7F2A" + kCplcWithoutTag + "00";

INSTANTIATE_TEST_SUITE_P(
    Cards, GpCardBadCplc,
    ::testing::Values(
        CplcCase{
            "WithoutTagT1", {"--t1", "--cplc-answer", kCplcWithoutTag}, gp::kErrCPLCWrongLength},
        // Under T=0 the card itself refuses the length the command announced.
        CplcCase{"WithoutTagT0",
                 {"--cplc-answer", kCplcWithoutTag},
                 "Card returned error message . ISO7816 error 0x6C2A (Wrong length Le: should be "
                 "2A)"},
        CplcCase{"TooLongT1",
                 {"--t1", "--cplc-answer", kCplcTooLong},
                 "SCardTransmit error\r\nSmartCard API error #2148532232\r\nThe data buffer to "
                 "receive returned data is too small for the returned data."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::e2e
