// The card channel through pcsc-lite, pcscd and vpcd: ATR, the exchanges of both protocols on
// the wire, status words and PC/SC failures as the user reads them, and cards that go away.

#include <string>
#include <tuple>
#include <vector>

#include "card/KSCardAPIExceptions.h"
#include "tests/e2e/card/card_e2e.h"

namespace qel::e2e {
namespace {

using card::TKSCardAPICardBase;

const std::string kSelectDongle = "00A4040008" + kDongleAidHex;
const util::ByteString kDataFF(1, '\xFF');

std::string length_hex(std::size_t length) {
    return hex({static_cast<std::uint8_t>(length)});
}

// What follows the exchange's own words in the text of a 6A82 answer.
const std::string kFileNotFound =
    ". ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File not found)";

class ChannelE2e : public CardE2eTest {};

// --- ATR and protocol --------------------------------------------------------------------------

struct ProtocolCase {
    const char* name;
    bool t1;
    std::string atr;
    DWORD protocol;
};

class ChannelAtr : public ChannelE2e,
                   public ::testing::WithParamInterface<std::tuple<ProtocolCase, int>> {};

TEST_P(ChannelAtr, ReadsTheAtrThroughTheStatusWhenTheReaderLacksTheAttribute) {
    const auto& [card_case, reader] = GetParam();
    const VirtualCard& vcard = start_card(with_protocol({}, card_case.t1), reader);
    const BoundContext context;
    const auto card = connect(context, kReaderNames[reader]);

    // The fallback is what runs here: vpcd does not serve the attribute.
    BYTE buffer[MAX_ATR_SIZE];
    DWORD length = sizeof buffer;
    EXPECT_EQ(pcsc_code_text(card::SCardGetAttrib(card->CardHandle, card::kSCardAttrAtrString,
                                                  buffer, &length)),
              pcsc_code_text(SCARD_E_UNSUPPORTED_FEATURE));

    EXPECT_EQ(card->ATR.GetAsHexString(), card_case.atr);
    EXPECT_EQ(card->Protocol, card_case.protocol);
    EXPECT_EQ(card->ReaderName, kReaderNames[reader]);
    EXPECT_TRUE(commands_received(vcard).empty()) << "reading the ATR sent a command";
}

INSTANTIATE_TEST_SUITE_P(
    Cards, ChannelAtr,
    ::testing::Combine(::testing::Values(ProtocolCase{"T0", false, kAtrT0Hex, SCARD_PROTOCOL_T0},
                                         ProtocolCase{"T1", true, kAtrT1Hex, SCARD_PROTOCOL_T1}),
                       ::testing::Values(0, 1)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_Reader" +
               std::to_string(std::get<1>(info.param));
    });

// --- The dongle's reads ------------------------------------------------------------------------

struct DongleValues {
    const char* name;
    Options options;
    std::string serial;
    std::string firmware;
    std::string error_code;
};

class ChannelDongle : public ChannelE2e,
                      public ::testing::WithParamInterface<std::tuple<DongleValues, bool>> {};

TEST_P(ChannelDongle, SelectsTheAppletAndReadsTheThreeValues) {
    const auto& [values, t1] = GetParam();
    const VirtualCard& vcard = start_card(with_protocol(values.options, t1));
    const BoundContext context;
    const auto card = connect(context, kReaderNames[0]);

    util::ByteArray response{0xEE};
    card->SendAPDUBytes(bytes(kSelectDongle), response, 255);
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(card->LastSW, 0x9000);

    std::vector<std::string> expected_commands{kSelectDongle};
    const std::pair<std::uint8_t, std::string> reads[] = {{kP2Serial, values.serial},
                                                          {kP2Firmware, values.firmware},
                                                          {kP2ErrorCode, values.error_code}};
    for (const auto& [p2, value] : reads) {
        card->SendAPDU(0x40, 0x10, 0x62, p2, response, 255, kDataFF);
        EXPECT_EQ(hex(response), value) << "P2 " << hex({p2});
        EXPECT_EQ(card->LastSW, 0x9000);
        // No Le byte on the command in either protocol; under T=0 the data follows on a GET
        // RESPONSE for exactly the length the card announced.
        expected_commands.push_back("401062" + hex({p2}) + "01FF");
        if (!t1)
            expected_commands.push_back("00C00000" + length_hex(value.size() / 2));
    }
    EXPECT_EQ(commands_received(vcard), expected_commands);
}

const std::string kLongestAnswer(255 * 2, 'C');

INSTANTIATE_TEST_SUITE_P(
    Dongle, ChannelDongle,
    ::testing::Combine(::testing::Values(
                           DongleValues{
                               "Defaults", {}, kDefaultSerial, kDefaultFirmware, kDefaultErrorCode},
                           DongleValues{"ChosenValues",
                                        {"--serial", "00112233445566778899AABBCCDDEEFF0123",
                                         "--firmware", "0203", "--error-code", "0000"},
                                        "00112233445566778899AABBCCDDEEFF0123",
                                        "0203",
                                        "0000"},
                           // 255 bytes and SW1 SW2 fill the answer buffer of Le 255 exactly.
                           DongleValues{"LongestSerial",
                                        {"--serial", kLongestAnswer},
                                        kLongestAnswer,
                                        kDefaultFirmware,
                                        kDefaultErrorCode}),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + protocol_suffix(std::get<1>(info.param));
    });

TEST_F(ChannelE2e, T0CardWith256BytesWaitingHandsThemAllOverOnGetResponse) {
    // 61 00 announces 256 bytes: GET RESPONSE asks for them with Le 00.
    const std::string longest(256 * 2, 'C');
    const VirtualCard& vcard = start_card({"--serial", longest});
    const BoundContext context;
    const auto card = connect(context, kReaderNames[0]);
    util::ByteArray response;
    card->SendAPDUBytes(bytes(kSelectDongle), response, 255);
    card->SendAPDU(0x40, 0x10, 0x62, kP2Serial, response, 255, kDataFF);
    EXPECT_EQ(hex(response), longest);
    EXPECT_EQ(commands_received(vcard),
              (std::vector<std::string>{kSelectDongle, "401062" + hex({kP2Serial}) + "01FF",
                                        "00C0000000"}));
}

// --- Failing exchanges -------------------------------------------------------------------------

struct FailureCase {
    const char* name;
    Options options;  // --t1 included where it applies
    bool select_first;
    std::string command;
    std::int32_t le;
    std::string message;
    std::uint16_t last_sw;  // after the failure
    std::size_t transmits;  // of the failing exchange; no retries
};

class ChannelFailures : public ChannelE2e, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ChannelFailures, FailingExchangeRaisesTheExactTextAndLeavesTheResponse) {
    const FailureCase& c = GetParam();
    const VirtualCard& vcard = start_card(c.options);
    const BoundContext context;
    const auto card = connect(context, kReaderNames[0]);
    if (c.select_first) {
        util::ByteArray ignored;
        card->SendAPDUBytes(bytes(kSelectDongle), ignored, 255);
    }
    const std::size_t before = commands_received(vcard).size();

    util::ByteArray response{0xEE, 0xEE};
    EXPECT_EQ(failure_text([&] { card->SendAPDUBytes(bytes(c.command), response, c.le); }),
              c.message);
    EXPECT_EQ(hex(response), "EEEE");
    EXPECT_EQ(card->LastSW, c.last_sw);
    EXPECT_EQ(commands_received(vcard).size() - before, c.transmits);
}

const std::string kReadSerial = "4010621201FF";
const std::string kReadFirmware = "401062B201FF";
const std::string kGetCplc = "80CA9F7F";
const std::string kCardError = "Card returned error message ";
const std::string kTransmitError = "SCardTransmit error\r\nSmartCard API error #";
const std::string kShortAnswer = "Card returned less than 2 bytes of data, that should not happen!";

INSTANTIATE_TEST_SUITE_P(
    Exchanges, ChannelFailures,
    ::testing::Values(
        FailureCase{"RefusedFirmwareReadT1",
                    {"--t1", "--sw", "401062B2=6A82"},
                    true,
                    kReadFirmware,
                    255,
                    kCardError + kFileNotFound,
                    0x6A82,
                    1},
        // Case 4 under T=0 refused at once: the text of its first exchange.
        FailureCase{"RefusedFirmwareReadT0",
                    {"--sw", "401062B2=6A82"},
                    true,
                    kReadFirmware,
                    255,
                    "Send + Receive error" + kFileNotFound,
                    0x6A82,
                    1},
        FailureCase{"RefusedGetDataCase2T0",
                    {"--sw", "80CA9F7F=6A82"},
                    false,
                    kGetCplc,
                    45,
                    kCardError + kFileNotFound,
                    0x6A82,
                    1},
        FailureCase{"SelectWithoutAppletT1",
                    {"--t1", "--no-applet"},
                    false,
                    kSelectDongle,
                    255,
                    kCardError + kFileNotFound,
                    0x6A82,
                    1},
        // The CPLC is 45 bytes; 6C is not acted on, it fails the exchange.
        FailureCase{"WrongLeCase2T0",
                    {},
                    false,
                    kGetCplc,
                    255,
                    kCardError + ". ISO7816 error 0x6C2D (Wrong length Le: should be 2D)",
                    0x6C2D,
                    1},
        // A card that answers GET RESPONSE with 61 xx again gets no second GET RESPONSE.
        FailureCase{"GetResponseLoopT0",
                    {"--getresponse-loop"},
                    true,
                    kReadSerial,
                    255,
                    kCardError + ". ISO7816 error 0x6108 (Wrong length Le: should be 08)",
                    0x6108,
                    2},
        // 16 bytes waiting (61 10) and SW1 SW2 do not fit the 10 bytes of Le 8.
        FailureCase{"AnswerBeyondTheBufferT0",
                    {"--serial", std::string(16 * 2, 'C')},
                    true,
                    kReadSerial,
                    8,
                    kTransmitError +
                        "2148532232\r\nThe data buffer to receive returned data is too small for "
                        "the returned data.",
                    0x9000,
                    2},
        FailureCase{"AnswerBeyondTheBufferT1",
                    {"--t1", "--serial", std::string(256 * 2, 'C')},
                    true,
                    kReadSerial,
                    255,
                    kTransmitError +
                        "2148532232\r\nThe data buffer to receive returned data is too small for "
                        "the returned data.",
                    0x9000,
                    1},
        FailureCase{"OneByteAnswerCase4T0",
                    {"--short-answer", "401062"},
                    true,
                    kReadSerial,
                    255,
                    kShortAnswer,
                    0x9000,
                    1},
        FailureCase{"OneByteAnswerCase2T0",
                    {"--short-answer", "80CA"},
                    false,
                    kGetCplc,
                    45,
                    kShortAnswer,
                    0,
                    1},
        FailureCase{"OneByteAnswerT1",
                    {"--t1", "--short-answer", "401062"},
                    true,
                    kReadSerial,
                    255,
                    kShortAnswer,
                    0x9000,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Cards that go away ------------------------------------------------------------------------

class ChannelPulled : public ChannelE2e, public ::testing::WithParamInterface<bool> {};

// The card leaves while it owes the answer: vpcd hands pcscd an empty answer as a success.
TEST_P(ChannelPulled, CardPulledMidExchangeGivesAShortAnswer) {
    VirtualCard& vcard = start_card(with_protocol({"--pull-after", "1"}, GetParam()));
    const BoundContext context;
    const auto card = connect(context, kReaderNames[0]);
    util::ByteArray response;
    card->SendAPDUBytes(bytes(kSelectDongle), response, 255);

    response = {0xEE};
    EXPECT_EQ(
        failure_text([&] { card->SendAPDU(0x40, 0x10, 0x62, kP2Serial, response, 255, kDataFF); }),
        kShortAnswer);
    EXPECT_EQ(hex(response), "EE");
    EXPECT_EQ(card->LastSW, 0x9000);
    EXPECT_EQ(vcard.wait_exit(), 0);
    EXPECT_TRUE(vcard.wait_for_card(false));
}

TEST_P(ChannelPulled, CardPulledBetweenCommandsIsReportedRemoved) {
    VirtualCard& vcard = start_card(with_protocol({}, GetParam()));
    const BoundContext context;
    const auto card = connect(context, kReaderNames[0]);
    util::ByteArray response;
    card->SendAPDUBytes(bytes(kSelectDongle), response, 255);
    ASSERT_EQ(vcard.stop(), 0);

    response = {0xEE};
    EXPECT_EQ(
        failure_text([&] { card->SendAPDU(0x40, 0x10, 0x62, kP2Serial, response, 255, kDataFF); }),
        kTransmitError +
            "2148532329\r\nThe smart card has been removed, so that further communication "
            "is not possible.");
    EXPECT_EQ(hex(response), "EE");
    EXPECT_EQ(card->LastSW, 0x9000);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ChannelPulled, ::testing::Bool(),
                         [](const auto& info) { return protocol_suffix(info.param).substr(1); });

}  // namespace
}  // namespace qel::e2e
