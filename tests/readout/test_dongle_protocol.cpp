#include <gtest/gtest.h>
#include <openssl/des.h>

#include "crypto/cipher.h"
#include "readout/qel_sc_base.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "util/Exception.h"

namespace qel::app {
namespace {

using namespace qel::testing;
using util::ByteString;

ByteString bytes(const Bytes& b) {
    return ByteString(b.begin(), b.end());
}

// Single-DES CBC with a zero IV by an implementation that is not ours, so that a fault in our
// cipher cannot hide behind the same fault in the expectation.
Bytes reference_cbc(const Bytes& key, const Bytes& data, bool encrypt) {
    DES_cblock key_block{};
    std::copy(key.begin(), key.end(), key_block);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key_block, &schedule);
    DES_cblock iv{};
    Bytes out(data.size());
    DES_ncbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, &iv,
                     encrypt ? DES_ENCRYPT : DES_DECRYPT);
    return out;
}

const Bytes kSessionKey{0x13, 0x57, 0x9B, 0xDF, 0x02, 0x46, 0x8A, 0xCE};
const Bytes kKeyCommand{0x40, 0x10, 0x26, 0x26, 0x01, 0xFF};

class DongleProtocol : public FakePcscTest {
protected:
    std::unique_ptr<t_qel_sc_base> connected_dongle() {
        auto dongle = std::make_unique<t_qel_sc_base>();
        EXPECT_TRUE(dongle->connect_by_aid(dongle->applet_aid));
        pcsc.log.clear();
        return dongle;
    }
};

TEST_F(DongleProtocol, ParametersStartAtTheirDefaultsAndResetBringsThemBack) {
    add_dongle("Reader A");
    t_qel_sc_base dongle;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(dongle.firmware_version, 0);
        EXPECT_EQ(dongle.aid_prefix, ByteString("qel21\x01\x01", 7));
        EXPECT_EQ(dongle.applet_aid, ByteString("qel21\x01\x01\x01", 8));
        EXPECT_EQ(dongle.cla, 0x40);
        EXPECT_EQ(dongle.ins, 0x10);
        EXPECT_FALSE(dongle.encrypt);
        EXPECT_TRUE(dongle.session_key.empty());
        EXPECT_EQ(dongle.key_answer_length, 8);
        EXPECT_EQ(dongle.block_size, 8);

        dongle.firmware_version = 9;
        dongle.aid_prefix = dongle.applet_aid = "x";
        dongle.cla = dongle.ins = 0;
        dongle.encrypt = true;
        dongle.session_key = "key";
        dongle.key_answer_length = dongle.block_size = 3;
        dongle.reset_params();
    }
}

TEST_F(DongleProtocol, ReadsTheThreeValuesWithTheDongleCommands) {
    add_dongle("Reader A", SCARD_PROTOCOL_T0);
    auto dongle = connected_dongle();
    EXPECT_EQ(dongle->read_serial(), "0A1B2C3D");
    EXPECT_EQ(dongle->read_firmware_version(), 0x010A);
    EXPECT_EQ(dongle->firmware_version, 0x010A);
    EXPECT_EQ(dongle->read_error_code(), 0x2A);
    const Bytes get_response8{0x00, 0xC0, 0x00, 0x00, 0x08};
    const Bytes get_response2{0x00, 0xC0, 0x00, 0x00, 0x02};
    EXPECT_EQ(sent(), (std::vector<Bytes>{{0x40, 0x10, 0x62, 0x12, 0x01, 0xFF},
                                          get_response8,
                                          {0x40, 0x10, 0x62, 0xB2, 0x01, 0xFF},
                                          get_response2,
                                          {0x40, 0x10, 0x62, 0x20, 0x01, 0xFF},
                                          get_response2}));
}

struct AnswerCase {
    const char* name;
    Bytes serial, firmware, error_code;
    std::string serial_text;
    std::uint16_t firmware_value, error_value;
};

class DongleAnswers : public DongleProtocol, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(DongleAnswers, BecomeTextAndBigEndianValues) {
    const auto& c = GetParam();
    add_dongle("Reader A", SCARD_PROTOCOL_T1, c.serial, c.firmware, c.error_code);
    auto dongle = connected_dongle();
    EXPECT_EQ(dongle->read_serial(), c.serial_text);
    EXPECT_EQ(dongle->read_firmware_version(), c.firmware_value);
    EXPECT_EQ(dongle->read_error_code(), c.error_value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DongleAnswers,
    ::testing::Values(AnswerCase{"defaults",
                                 {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71},
                                 {0x01, 0x0A},
                                 {0x00, 0x2A},
                                 "0A1B2C3D",
                                 266,
                                 42},
                      AnswerCase{
                          "single_bytes", {0xAB, 0xCD}, {0x07}, {0x01, 0x00}, "ABCD", 7, 256},
                      AnswerCase{"empty_answers", {}, {}, {}, "", 0, 0},
                      // A longer answer than asked for is cut to the asked length first.
                      AnswerCase{"long_answers",
                                 {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
                                 {0x12, 0x34, 0x56},
                                 {0xFF, 0xFF, 0xFF},
                                 "01020304",
                                 0x1234,
                                 0xFFFF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DongleProtocol, WithoutAConnectionCommandsAnswerNothing) {
    add_dongle("Reader A");
    t_qel_sc_base dongle;
    EXPECT_EQ(dongle.read_serial(), "");
    EXPECT_EQ(dongle.read_firmware_version(), 0);
    EXPECT_EQ(dongle.read_error_code(), 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(DongleProtocol, CardFailuresPassToTheCaller) {
    add_dongle("Reader A").rules.at(2).answer = {0x6A, 0x82};  // the serial command
    auto dongle = connected_dongle();
    try {
        dongle->read_serial();
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Card returned error message . ISO7816 error 0x6A82 "
                     "(Wrong parameter(s) P1-P2. File not found)");
    }
}

struct ConstructionCase {
    const char* name;
    void (*arrange)(fakepcsc::FakePcsc&);
    const char* text;
};

class DongleConstruction : public DongleProtocol,
                           public ::testing::WithParamInterface<ConstructionCase> {};

TEST_P(DongleConstruction, FailsWithTheTextOfTheMissingReaderOrService) {
    GetParam().arrange(pcsc);
    try {
        t_qel_sc_base dongle;
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(), GetParam().text);
    }
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DongleConstruction,
    ::testing::Values(
        ConstructionCase{"empty_reader_list", [](auto&) {}, "Card-Reader is not found"},
        ConstructionCase{"no_reader_attached",
                         [](auto& p) {
                             p.fail_always("SCardListReaders",
                                           static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
                         },
                         "Error when listing readers\r\nSmartCard API error #2148532270\r\n"
                         "Cannot find a smart card reader."},
        ConstructionCase{"no_service",
                         [](auto& p) {
                             p.fail_always("SCardEstablishContext",
                                           static_cast<LONG>(SCARD_E_NO_SERVICE));
                         },
                         "Error when establishing context\r\nSmartCard API error #2148532253\r\n"
                         "The Smart card resource manager is not running."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DongleProtocol, PlainP1IsNeverEncryptedAndFetchesNoKey) {
    add_dongle("Reader A").answer_prefix({0x40, 0x10}, kSw9000);
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    for (std::uint8_t p1 : {0x28, 0x34, 0x38, 0x62, 0x9C}) {
        ByteString answer;
        dongle->command(0x40, 0x10, p1, 0x12, 8, ByteString(1, '\xFF'), answer);
        EXPECT_EQ(sent().back(), (Bytes{0x40, 0x10, p1, 0x12, 0x01, 0xFF}));
    }
    EXPECT_EQ(sent().size(), 5u);
    EXPECT_TRUE(dongle->session_key.empty());
}

// The encrypted path, played by a card that checks the command as the dongle does.
class EncryptedPath : public DongleProtocol {
protected:
    void SetUp() override {
        DongleProtocol::SetUp();
        auto& card = add_dongle("Reader A");
        card.answer(kKeyCommand, concat(kSessionKey, kSw9000));
        card.responder = [this](const Bytes& command) -> std::optional<Bytes> {
            if (command.size() < 6 || command[2] != 0x01)
                return std::nullopt;
            received_plain =
                reference_cbc(kSessionKey, Bytes(command.begin() + 6, command.end()), false);
            received_length = command[5];
            if (answer_raw)
                return concat(*answer_raw, kSw9000);
            return concat(reference_cbc(kSessionKey, answer_plain, true), kSw9000);
        };
    }

    Bytes answer_plain{0xAB, 0xCD, 0, 0, 0, 0, 0, 0};
    // Set: the card answers these bytes as they are, in place of the encrypted plain answer.
    std::optional<Bytes> answer_raw;
    Bytes received_plain;
    std::uint8_t received_length = 0;
};

TEST_F(EncryptedPath, FetchesTheKeyEncryptsTheDataAndDecryptsTheAnswer) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    ByteString answer;
    ByteString data(1, '\xFF');
    dongle->command(0x40, 0x10, 0x01, 0x12, 2, data, answer);

    const auto commands = sent();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0], kKeyCommand);
    EXPECT_EQ(dongle->session_key, bytes(kSessionKey));
    EXPECT_EQ(commands[1].size(), 4u + 1u + 9u);  // header, Lc, length byte and one block
    EXPECT_EQ(commands[1][4], 9);
    EXPECT_EQ(received_length, 1);
    EXPECT_EQ(received_plain, (Bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(answer, ByteString("\xAB\xCD", 2));
    EXPECT_EQ(data, ByteString(1, '\xFF'));  // the caller's data is not touched

    // The key is fetched once and reused.
    dongle->command(0x40, 0x10, 0x01, 0x12, 2, data, answer);
    EXPECT_EQ(sent().size(), 3u);
    EXPECT_EQ(sent()[2], commands[1]);
}

TEST_F(EncryptedPath, AsksForWholeBlocks) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    answer_plain = Bytes(16, 0x5A);
    ByteString answer;
    dongle->command(0x40, 0x10, 0x01, 0x12, 9, "", answer);
    // The facade asks the card for everything and cuts to the rounded length; the answer is
    // then cut to what was asked for.
    EXPECT_EQ(answer, ByteString(9, '\x5A'));
}

struct TooLongCase {
    const char* name;
    std::uint8_t answer_length;
    std::int32_t block_size;
    const char* text;
};

class EncryptedAnswerLength : public EncryptedPath,
                              public ::testing::WithParamInterface<TooLongCase> {};

TEST_P(EncryptedAnswerLength, PastOneLengthByteOnceRoundedIsRefusedBeforeAnythingIsSent) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    dongle->block_size = GetParam().block_size;
    ByteString answer = "stale";
    try {
        dongle->command(0x40, 0x10, 0x01, 0x12, GetParam().answer_length, "", answer);
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(), GetParam().text);
    }
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(dongle->session_key.empty());
    EXPECT_EQ(answer, "stale");
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncryptedAnswerLength,
    ::testing::Values(TooLongCase{"first_past_the_limit", 249, 8,
                                  "Answer length 249 is too long for an encrypted command: 256 "
                                  "bytes with the cipher's padding, at most 255"},
                      TooLongCase{"largest", 255, 8,
                                  "Answer length 255 is too long for an encrypted command: 256 "
                                  "bytes with the cipher's padding, at most 255"},
                      TooLongCase{"wider_block", 241, 16,
                                  "Answer length 241 is too long for an encrypted command: 256 "
                                  "bytes with the cipher's padding, at most 255"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncryptedPath, LongestAnswerLengthThatRoundsWithinOneByteGoesOut) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    answer_plain = Bytes(248, 0x5A);
    ByteString answer;
    dongle->command(0x40, 0x10, 0x01, 0x12, 248, "", answer);
    EXPECT_EQ(answer, ByteString(248, '\x5A'));
}

struct BrokenAnswerCase {
    const char* name;
    Bytes answer;
    const char* text;
};

class EncryptedAnswerNotWholeBlocks : public EncryptedPath,
                                      public ::testing::WithParamInterface<BrokenAnswerCase> {};

TEST_P(EncryptedAnswerNotWholeBlocks, IsAnErrorNotPlainText) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    answer_raw = GetParam().answer;
    ByteString answer;
    try {
        dongle->command(0x40, 0x10, 0x01, 0x12, 16, "", answer);
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(), GetParam().text);
    }

    ByteString data = bytes(GetParam().answer);
    EXPECT_THROW(dongle->decrypt_data(data), util::Exception);
    EXPECT_EQ(data, bytes(GetParam().answer));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncryptedAnswerNotWholeBlocks,
    ::testing::Values(
        BrokenAnswerCase{
            "empty", {}, "Encrypted answer of 0 bytes is not a whole number of 8-byte blocks"},
        BrokenAnswerCase{"part_of_a_block", Bytes(5, 0x11),
                         "Encrypted answer of 5 bytes is not a whole number of 8-byte blocks"},
        BrokenAnswerCase{"block_and_a_half", Bytes(12, 0x11),
                         "Encrypted answer of 12 bytes is not a whole number of 8-byte blocks"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncryptedPath, NothingAskedForTakesTheEmptyAnswer) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    answer_raw = Bytes{};
    ByteString answer = "stale";
    dongle->command(0x40, 0x10, 0x01, 0x12, 0, ByteString(1, '\xFF'), answer);
    EXPECT_EQ(answer, "");
    ASSERT_EQ(sent().size(), 2u);  // the key, then the command itself
    EXPECT_EQ(received_plain, (Bytes{0xFF, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(EncryptedPath, ResetForgetsTheKey) {
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    ByteString answer;
    dongle->command(0x40, 0x10, 0x01, 0x12, 2, ByteString(1, '\xFF'), answer);
    dongle->reset_params();
    EXPECT_TRUE(dongle->session_key.empty());
    dongle->encrypt = true;
    dongle->command(0x40, 0x10, 0x01, 0x12, 2, ByteString(1, '\xFF'), answer);
    const auto commands = sent();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kKeyCommand), 2);
}

TEST_F(EncryptedPath, EmptyKeyAnswerFailsTheCommandAndTheNextOneAsksAgain) {
    pcsc.reader("Reader A").card.rules.back().answer = kSw9000;  // the key command: no bytes
    auto dongle = connected_dongle();
    dongle->encrypt = true;
    ByteString answer;
    try {
        dongle->command(0x40, 0x10, 0x01, 0x12, 2, ByteString(1, '\xFF'), answer);
        FAIL() << "no exception";
    } catch (const crypto::EKC_cipher& e) {
        EXPECT_STREQ(e.what(), "Invalid key size");
    }
    EXPECT_EQ(sent(), std::vector<Bytes>{kKeyCommand});
    EXPECT_THROW(dongle->command(0x40, 0x10, 0x01, 0x12, 2, ByteString(1, '\xFF'), answer),
                 crypto::EKC_cipher);
    EXPECT_EQ(sent(), (std::vector<Bytes>{kKeyCommand, kKeyCommand}));
}

TEST_F(EncryptedPath, EncryptionSwitchedOffSendsThePlainData) {
    auto dongle = connected_dongle();
    ByteString answer;
    dongle->command(0x40, 0x10, 0x01, 0x12, 2, ByteString(1, '\xFF'), answer);
    EXPECT_EQ(sent(), std::vector<Bytes>{(Bytes{0x40, 0x10, 0x01, 0x12, 0x01, 0xFF})});
}

TEST(ReferenceCipher, GivesTheClassicKnownAnswer) {
    // The comparisons above rest on the reference: check it on a published vector.
    EXPECT_EQ(reference_cbc({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
                            {0x4E, 0x6F, 0x77, 0x20, 0x69, 0x73, 0x20, 0x74}, true),
              (Bytes{0x3F, 0xA4, 0x0E, 0x8A, 0x98, 0x4D, 0x48, 0x15}));
}

}  // namespace
}  // namespace qel::app
