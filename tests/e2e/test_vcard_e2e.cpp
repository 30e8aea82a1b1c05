// The virtual dongle through the real stack: pcscd, vpcd and raw pcsc-lite calls. What these
// tests pin down is what the card library's own end-to-end tests will rely on.

#include <PCSC/reader.h>
#include <openssl/des.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/support/e2e_test.h"
#include "tests/e2e/support/exclusive_holder.h"

namespace qel::e2e {
namespace {

using Options = std::vector<std::string>;

const std::string kSelectDongle = "00A404000871656C3231010101";
const std::string kSelectCardManager = "00A4040007A0000000030000";
const std::string kReadSerial = "4010621201FF";
const std::string kReadFirmware = "401062B201FF";
const std::string kReadErrorCode = "4010622001FF";
const std::string kFetchSessionKey = "4010262601FF";

std::string length_hex(std::size_t length) {
    return hex({static_cast<std::uint8_t>(length)});
}

Options with_protocol(Options options, bool t1) {
    if (t1)
        options.push_back("--t1");
    return options;
}

// A command with data as the card library sends it: under T=0 the card answers 61 xx and the
// data comes with GET RESPONSE; under T=1 it comes at once. Returns data and status word.
std::string exchange_case4(const CardConnection& card, const std::string& command) {
    const ByteArray first = card.transmit(bytes(command));
    if (card.protocol() != SCARD_PROTOCOL_T0 || first.size() != 2 || first[0] != 0x61)
        return hex(first);
    return hex(card.transmit(bytes("00C00000" + hex({first[1]}))));
}

class VcardE2e : public E2eTest {};

// --- ATR and protocol --------------------------------------------------------------------------

struct AtrCase {
    const char* name;
    Options options;
    std::string atr;
    DWORD protocol;
};

class VcardAtr : public VcardE2e, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(VcardAtr, PcscdReportsTheAtrAndConnectsWithTheProtocolItAnnounces) {
    start_card(GetParam().options);
    const CardConnection card(pcsc(), kReaderNames[0]);
    EXPECT_EQ(hex(card.atr()), GetParam().atr);
    EXPECT_EQ(card.protocol(), GetParam().protocol);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, VcardAtr,
    ::testing::Values(AtrCase{"T0", {}, "3B759400006202020301", SCARD_PROTOCOL_T0},
                      AtrCase{"T1", {"--t1"}, "3B880151454C2D444F4E47FE", SCARD_PROTOCOL_T1},
                      AtrCase{"ChosenAtr", {"--atr", "3B021450"}, "3B021450", SCARD_PROTOCOL_T0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VcardE2e, VpcdDoesNotServeTheAtrAttributeButSCardStatusDoes) {
    start_card();
    const CardConnection card(pcsc(), kReaderNames[0]);

    unsigned char* allocated = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardGetAttrib(card.handle(), SCARD_ATTR_ATR_STRING,
                                   reinterpret_cast<LPBYTE>(&allocated), &length);
    // pcsc-lite hands out its buffer before asking pcscd, and keeps it there on failure.
    if (allocated != nullptr)
        SCardFreeMemory(pcsc().get(), allocated);
    EXPECT_EQ(pcsc_code_text(rv), pcsc_code_text(SCARD_E_UNSUPPORTED_FEATURE));

    unsigned char buffer[MAX_ATR_SIZE];
    length = sizeof buffer;
    EXPECT_EQ(pcsc_code_text(SCardGetAttrib(card.handle(), SCARD_ATTR_ATR_STRING, buffer, &length)),
              pcsc_code_text(SCARD_E_UNSUPPORTED_FEATURE));

    EXPECT_EQ(hex(card.atr()), "3B759400006202020301");
}

// --- The dongle's reads ------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    Options options;
    std::string command;
    std::string data;
};

class VcardReads : public VcardE2e,
                   public ::testing::WithParamInterface<std::tuple<ReadCase, bool>> {};

TEST_P(VcardReads, SelectedAppletAnswersTheReadInTheProtocolsWay) {
    const auto& [read, t1] = GetParam();
    start_card(with_protocol(read.options, t1));
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");

    const std::string first = hex(card.transmit(bytes(read.command)));
    if (t1) {
        EXPECT_EQ(first, read.data + "9000");
        return;
    }
    // T=0: data never comes in the same exchange as command data.
    const std::string length = length_hex(read.data.size() / 2);
    ASSERT_EQ(first, "61" + length);
    EXPECT_EQ(hex(card.transmit(bytes("00C00000" + length))), read.data + "9000");
}

INSTANTIATE_TEST_SUITE_P(
    Dongle, VcardReads,
    ::testing::Combine(
        ::testing::Values(
            ReadCase{"DefaultSerial", {}, kReadSerial, "0A1B2C3D4E5F6071"},
            ReadCase{"DefaultFirmware", {}, kReadFirmware, "010A"},
            ReadCase{"DefaultErrorCode", {}, kReadErrorCode, "002A"},
            ReadCase{
                "ChosenSerial", {"--serial", "8877665544332211"}, kReadSerial, "8877665544332211"},
            ReadCase{"ShortSerial", {"--serial", "BEEF"}, kReadSerial, "BEEF"},
            ReadCase{"ChosenFirmware", {"--firmware", "07"}, kReadFirmware, "07"},
            ReadCase{"ChosenErrorCode", {"--error-code", "0100"}, kReadErrorCode, "0100"}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_T1" : "_T0");
    });

// --- Exchanges: one card, a script of commands and the exact answers ---------------------------

struct Step {
    std::string command;
    std::string response;
};

struct ScriptCase {
    const char* name;
    Options options;
    std::vector<Step> steps;
};

class VcardScripts : public VcardE2e, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(VcardScripts, CardAnswersEachCommandExactly) {
    start_card(GetParam().options);
    const CardConnection card(pcsc(), kReaderNames[0]);
    for (const Step& step : GetParam().steps)
        EXPECT_EQ(hex(card.transmit(bytes(step.command))), step.response) << step.command;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, VcardScripts,
    ::testing::Values(
        ScriptCase{"WrongLeOfCase2GetsTheRightLength",
                   {},
                   {{"80CA9F7F20", "6C2D"}, {"80CA9F7F00", "6C2D"}, {"80CA9F7F2E", "6C2D"}}},
        ScriptCase{"WrongLeOnDongleRead",
                   {},
                   {{kSelectDongle, "9000"},
                    {"4010621204", "6C08"},
                    {"4010621208", "0A1B2C3D4E5F60719000"}}},
        ScriptCase{"GetResponseWithWrongLengthKeepsTheData",
                   {},
                   {{kSelectDongle, "9000"},
                    {kReadSerial, "6108"},
                    {"00C0000004", "6C08"},
                    {"00C0000008", "0A1B2C3D4E5F60719000"},
                    {"00C0000008", "6985"}}},
        ScriptCase{"AnotherCommandDropsPendingData",
                   {},
                   {{kSelectDongle, "9000"},
                    {kReadSerial, "6108"},
                    {kReadFirmware, "6102"},
                    {"00C0000002", "010A9000"}}},
        ScriptCase{"SelectOfUnknownAidT0",
                   {},
                   {{"00A4040005A000000001", "6A82"}, {kSelectCardManager, "9000"}}},
        ScriptCase{"SelectOfUnknownAidT1", {"--t1"}, {{"00A4040005A000000001", "6A82"}}},
        ScriptCase{
            "FailedSelectKeepsTheApplet",
            {},
            {{kSelectDongle, "9000"}, {"00A4040005A000000001", "6A82"}, {kReadSerial, "6108"}}},
        ScriptCase{"DongleCommandsNeedTheApplet",
                   {},
                   {{kReadSerial, "6E00"},
                    {kSelectDongle, "9000"},
                    {kSelectCardManager, "9000"},
                    {kReadSerial, "6E00"}}},
        ScriptCase{"NoAppletCard",
                   {"--no-applet"},
                   {{kSelectDongle, "6A82"}, {kSelectCardManager, "9000"}, {kReadSerial, "6E00"}}},
        ScriptCase{"UnknownDongleOperation",
                   {"--t1"},
                   {{kSelectDongle, "9000"}, {"4010629901FF", "6A86"}, {"4011621201FF", "6D00"}}},
        ScriptCase{"InjectedStatusWords",
                   {"--sw", kReadSerial + "=6F00", "--sw", "00A4040007=6999"},
                   {{kSelectDongle, "9000"},
                    {kReadSerial, "6F00"},
                    {kReadFirmware, "6102"},
                    {kSelectCardManager, "6999"}}},
        ScriptCase{
            "InjectedStatusWordUnderT1", {"--t1", "--sw", "80CA=6A88"}, {{"80CA9F7F", "6A88"}}},
        ScriptCase{"GetResponseLoop",
                   {"--getresponse-loop"},
                   {{kSelectDongle, "9000"},
                    {kReadSerial, "6108"},
                    {"00C0000008", "6108"},
                    {"00C0000008", "6108"}}},
        ScriptCase{"SessionKeyTravelsInClear",
                   {"--t1", "--session-key", "0123456789ABCDEF"},
                   {{kSelectDongle, "9000"}, {kFetchSessionKey, "0123456789ABCDEF9000"}}},
        ScriptCase{"EmptyAnswerIsJustTheStatusWord",
                   {"--firmware", ""},
                   {{kSelectDongle, "9000"}, {kReadFirmware, "9000"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- CPLC ----------------------------------------------------------------------------------------

class VcardCplc : public VcardE2e, public ::testing::WithParamInterface<bool> {};

TEST_P(VcardCplc, GetDataAnswersTheCplcObjectWithTheChosenIcSerial) {
    const bool t1 = GetParam();
    start_card(with_protocol({"--cplc-serial", "CAFEBABE"}, t1));
    const CardConnection card(pcsc(), kReaderNames[0]);
    // The card library sends GET DATA as case 2 with Le 45 under T=0, with no Le under T=1.
    const ByteArray answer = card.transmit(bytes(t1 ? "80CA9F7F" : "80CA9F7F2D"));

    ASSERT_EQ(answer.size(), 45u + 2u) << hex(answer);
    EXPECT_EQ(hex(ByteArray(answer.begin(), answer.begin() + 3)), "9F7F2A");
    EXPECT_EQ(hex(ByteArray(answer.begin() + 15, answer.begin() + 19)), "CAFEBABE");
    EXPECT_EQ(hex(ByteArray(answer.end() - 2, answer.end())), "9000");
}

INSTANTIATE_TEST_SUITE_P(Protocols, VcardCplc, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "T1" : "T0"; });

TEST_F(VcardE2e, ChosenGetDataAnswerReplacesTheCplc) {
    // 42 bytes without tag and length: what a host must reject as the wrong length.
    const std::string bare(84, 'A');
    start_card({"--cplc-answer", bare});
    const CardConnection card(pcsc(), kReaderNames[0]);
    EXPECT_EQ(hex(card.transmit(bytes("80CA9F7F2D"))), "6C2A");
    EXPECT_EQ(hex(card.transmit(bytes("80CA9F7F2A"))), bare + "9000");
}

// --- Faults --------------------------------------------------------------------------------------

TEST_F(VcardE2e, CardPulledMidExchangeGivesAnEmptyAnswerThenRemovedCard) {
    VirtualCard& vcard = start_card({"--pull-after", "2"});
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");
    ASSERT_EQ(hex(card.transmit(bytes(kReadSerial))), "6108");

    // vpcd turns a card that vanishes mid-command into a successful transmit of zero bytes, not
    // into an error: hosts must check the count before reading a status word.
    const TransmitResult pulled = card.transmit_raw(bytes("00C0000008"));
    EXPECT_EQ(pcsc_code_text(pulled.rv), pcsc_code_text(SCARD_S_SUCCESS));
    EXPECT_EQ(pulled.response.size(), 0u) << hex(pulled.response);

    EXPECT_EQ(vcard.wait_exit(), 0);
    EXPECT_TRUE(vcard.wait_for_card(false));
    EXPECT_EQ(pcsc_code_text(card.transmit_raw(bytes(kReadSerial)).rv),
              pcsc_code_text(SCARD_W_REMOVED_CARD));
}

TEST_F(VcardE2e, ShortAnswerReachesTheHostAsOneByte) {
    start_card({"--short-answer", kReadSerial});
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");
    const TransmitResult result = card.transmit_raw(bytes(kReadSerial));
    EXPECT_EQ(pcsc_code_text(result.rv), pcsc_code_text(SCARD_S_SUCCESS));
    EXPECT_EQ(hex(result.response), "90");
    // Other commands are not affected.
    EXPECT_EQ(hex(card.transmit(bytes(kReadFirmware))), "6102");
}

TEST_F(VcardE2e, ResetReturnsTheCardToItsCardManager) {
    start_card();
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");
    ASSERT_EQ(hex(card.transmit(bytes(kReadSerial))), "6108");

    DWORD protocol = 0;
    ASSERT_EQ(SCardReconnect(card.handle(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD,
                             &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(hex(card.transmit(bytes("00C0000008"))), "6985");
    EXPECT_EQ(hex(card.transmit(bytes(kReadSerial))), "6E00");
}

// --- The encrypted path --------------------------------------------------------------------------

const std::string kSessionKey = "0123456789ABCDEF";

// CBC with an all-zero IV through OpenSSL's own CBC call, independent of the card's chaining.
ByteArray des_cbc(const std::string& key_hex, const ByteArray& data, bool encrypt) {
    const ByteArray key = bytes(key_hex);
    DES_cblock key_block;
    std::memcpy(key_block, key.data(), sizeof key_block);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key_block, &schedule);
    DES_cblock iv{};
    ByteArray out(data.size());
    DES_ncbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, &iv,
                     encrypt ? DES_ENCRYPT : DES_DECRYPT);
    return out;
}

// Command data of the encrypted path: the plain length, then the padded plain text encrypted.
std::string encrypted_data(const std::string& key_hex, const ByteArray& plain) {
    ByteArray padded = plain;
    padded.resize((plain.size() + 7) / 8 * 8, 0x00);
    return length_hex(plain.size()) + hex(des_cbc(key_hex, padded, true));
}

std::string command_with(const std::string& header, const std::string& data_hex) {
    return header + length_hex(data_hex.size() / 2) + data_hex;
}

struct EncryptedRead {
    const char* name;
    std::string header;  // CLA INS P1 P2
    ByteArray plain;     // command data before encryption
    std::string answer;  // the dongle's plain answer
};

class VcardEncrypted : public VcardE2e,
                       public ::testing::WithParamInterface<std::tuple<EncryptedRead, bool>> {};

TEST_P(VcardEncrypted, AnswerDecryptsUnderTheSessionKeyToThePlainValue) {
    const auto& [read, t1] = GetParam();
    start_card(with_protocol({"--session-key", kSessionKey, "--serial", "0A1B2C3D4E5F6071"}, t1));
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");
    ASSERT_EQ(exchange_case4(card, kFetchSessionKey), kSessionKey + "9000");

    const std::string response =
        exchange_case4(card, command_with(read.header, encrypted_data(kSessionKey, read.plain)));
    ASSERT_GE(response.size(), 4u);
    ASSERT_EQ(response.substr(response.size() - 4), "9000");
    const ByteArray cipher = bytes(response.substr(0, response.size() - 4));
    ASSERT_FALSE(cipher.empty());
    ASSERT_EQ(cipher.size() % 8, 0u);

    std::string expected = read.answer;
    expected.resize(cipher.size() * 2, '0');
    EXPECT_EQ(hex(des_cbc(kSessionKey, cipher, false)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dongle, VcardEncrypted,
    ::testing::Combine(
        ::testing::Values(
            EncryptedRead{"Serial", "40100112", {0xFF}, "0A1B2C3D4E5F6071"},
            EncryptedRead{"Firmware", "401001B2", {0xFF}, "010A"},
            EncryptedRead{"ErrorCode", "40108020", {0xFF}, "002A"},
            EncryptedRead{"WholeBlockOfData", "40100112", ByteArray(8, 0x5A), "0A1B2C3D4E5F6071"},
            EncryptedRead{"TwoBlocksOfData", "40100112", ByteArray(9, 0x5A), "0A1B2C3D4E5F6071"}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_T1" : "_T0");
    });

struct RejectedData {
    const char* name;
    std::string data;
};

class VcardEncryptedRejects : public VcardE2e,
                              public ::testing::WithParamInterface<RejectedData> {};

TEST_P(VcardEncryptedRejects, InconsistentDataIsAnsweredWrongData) {
    start_card({"--session-key", kSessionKey});
    const CardConnection card(pcsc(), kReaderNames[0]);
    ASSERT_EQ(hex(card.transmit(bytes(kSelectDongle))), "9000");
    EXPECT_EQ(hex(card.transmit(bytes(command_with("40100112", GetParam().data)))), "6A80");
}

const std::string kOneBlock = hex(des_cbc(kSessionKey, bytes("FF00000000000000"), true));

INSTANTIATE_TEST_SUITE_P(
    Dongle, VcardEncryptedRejects,
    ::testing::Values(RejectedData{"LengthByteOnly", "01"},
                      RejectedData{"CipherNotWholeBlocks", "01" + kOneBlock.substr(0, 14)},
                      RejectedData{"LengthBeyondTheCipher", "09" + kOneBlock},
                      RejectedData{"LengthAWholeBlockShort", "00" + kOneBlock},
                      RejectedData{"LengthTwoBlocksShort", "01" + kOneBlock + kOneBlock},
                      RejectedData{"OtherKey", encrypted_data("FEDCBA9876543210", {0xFF})}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Two readers and exclusive holders -----------------------------------------------------------

TEST_F(VcardE2e, CardsInBothReadersAnswerIndependently) {
    start_card({"--serial", "1111111111111111"}, 0);
    start_card({"--t1", "--serial", "2222222222222222"}, 1);
    const CardConnection first(pcsc(), kReaderNames[0]);
    const CardConnection second(pcsc(), kReaderNames[1]);
    EXPECT_EQ(first.protocol(), SCARD_PROTOCOL_T0);
    EXPECT_EQ(second.protocol(), SCARD_PROTOCOL_T1);

    for (const CardConnection* card : {&first, &second})
        ASSERT_EQ(hex(card->transmit(bytes(kSelectDongle))), "9000");
    EXPECT_EQ(exchange_case4(second, kReadSerial), "22222222222222229000");
    EXPECT_EQ(exchange_case4(first, kReadSerial), "11111111111111119000");
}

TEST_F(VcardE2e, StoppedCardLeavesTheOtherReaderAlone) {
    VirtualCard& first = start_card({}, 0);
    start_card({}, 1);
    EXPECT_EQ(first.stop(), 0);
    EXPECT_TRUE(pcsc().reader_state(kReaderNames[1]) & SCARD_STATE_PRESENT);
    const CardConnection second(pcsc(), kReaderNames[1]);
    EXPECT_EQ(hex(second.transmit(bytes(kSelectDongle))), "9000");
}

TEST_F(VcardE2e, ExclusiveHolderInThisProcessLocksOthersOut) {
    start_card();
    {
        const ExclusiveHolder holder(kReaderNames[0]);
        try {
            const CardConnection other(pcsc(), kReaderNames[0]);
            ADD_FAILURE() << "connected beside an exclusive holder";
        } catch (const PcscError& e) {
            EXPECT_EQ(pcsc_code_text(e.code()), pcsc_code_text(SCARD_E_SHARING_VIOLATION));
        }
    }
    const CardConnection after(pcsc(), kReaderNames[0]);
    EXPECT_EQ(hex(after.transmit(bytes(kSelectDongle))), "9000");
}

TEST_F(VcardE2e, ExclusiveHolderProcessLocksOthersOutUntilReleased) {
    start_card({}, 1);
    ExclusiveHolderProcess holder(kReaderNames[1]);
    try {
        const CardConnection other(pcsc(), kReaderNames[1]);
        ADD_FAILURE() << "connected beside an exclusive holder";
    } catch (const PcscError& e) {
        EXPECT_EQ(pcsc_code_text(e.code()), pcsc_code_text(SCARD_E_SHARING_VIOLATION));
    }
    EXPECT_EQ(holder.release(), 0);
    const CardConnection after(pcsc(), kReaderNames[1]);
    EXPECT_EQ(hex(after.transmit(bytes(kSelectDongle))), "9000");
}

}  // namespace
}  // namespace qel::e2e
