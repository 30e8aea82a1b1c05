// The window driven as a user drives it, through pcsc-lite, the sandbox's pcscd, vpcd and the
// virtual dongle: what the fake PC/SC library cannot show, such as the real codes of a pulled
// card and the protocol pcscd really picks.

#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/e2e_test.h"
#include "tests/e2e/window/window_harness.h"

namespace qel::e2e {
namespace {

using Options = std::vector<std::string>;

// As the virtual card logs them.
const std::string kSelectDongle = "00 A4 04 00 08 71 65 6C 32 31 01 01 01";

const std::string kDefaultReadout =
    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n";

class WindowE2e : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure())
            return;
        window = std::make_unique<WindowUnderTest>();
    }
    void TearDown() override {
        window.reset();
        E2eTest::TearDown();
    }

    // Between runs: the button is back, no dongle object is left, and the window let go of
    // every card it connected (they are held exclusively while it reads them).
    void expect_idle(const std::vector<std::string>& readers_with_card = {}) {
        EXPECT_TRUE(window->button_enabled());
        EXPECT_FALSE(window->holds_dongle());
        for (const std::string& reader : readers_with_card) {
            try {
                const CardConnection again(pcsc(), reader, SCARD_SHARE_EXCLUSIVE);
            } catch (const PcscError& e) {
                ADD_FAILURE() << "the window still holds the card in \"" << reader
                              << "\": " << e.what();
            }
        }
    }

    std::string file_lines() const {
        std::string lines;
        EXPECT_TRUE(split_log_file(window->log_file(), lines));
        return lines;
    }

    std::unique_ptr<WindowUnderTest> window;
};

// --- Readouts ------------------------------------------------------------------------------

struct ReadoutCase {
    const char* name;
    Options options;
    std::string lines;
};

class Readouts : public WindowE2e, public ::testing::WithParamInterface<ReadoutCase> {};

TEST_P(Readouts, PressPrintsTheDonglesAnswersAndFinishes) {
    start_card(GetParam().options);
    window->press();

    const std::string run = "Searching...\r\n" + GetParam().lines + "Finished\r\n";
    EXPECT_EQ(window->memo(), run);
    EXPECT_EQ(window->status(), "Finished");
    EXPECT_EQ(file_lines(), run);
    EXPECT_TRUE(window->reports.empty());
    expect_idle({kReaderNames[0]});
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Readouts,
    ::testing::Values(
        ReadoutCase{"DefaultT0", {}, kDefaultReadout},
        ReadoutCase{"DefaultT1", {"--t1"}, kDefaultReadout},
        ReadoutCase{"ErrorCodeWithZeroLowByteHasNoLine",
                    {"--error-code", "0100"},
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\n"},
        ReadoutCase{"TwoByteSerialAndOneByteFirmwareT1",
                    {"--t1", "--serial", "BEEF", "--firmware", "07"},
                    "Serial No (S/N): BEEF\r\nFirmware version: 0007\r\nError Code: 0x2A\r\n"},
        ReadoutCase{"OnlyFirstFourSerialBytesInUpperCase",
                    {"--serial", "abcdef0123456789", "--error-code", "00fe"},
                    "Serial No (S/N): ABCDEF01\r\nFirmware version: 010A\r\nError Code: 0xFE\r\n"},
        ReadoutCase{"EmptySerialAnswer",
                    {"--serial", ""},
                    "Serial No (S/N): \r\nFirmware version: 010A\r\nError Code: 0x2A\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowE2e, DongleInTheSecondReaderIsFoundPastAPlainCardInTheFirst) {
    VirtualCard& plain = start_card({"--no-applet"}, 0);
    start_card({}, 1);
    window->press();

    EXPECT_EQ(window->memo(), "Searching...\r\n" + kDefaultReadout + "Finished\r\n");
    EXPECT_TRUE(window->reports.empty());
    // The search really asked the first reader's card and went on when it refused.
    EXPECT_NE(plain.log().find("> " + kSelectDongle), std::string::npos) << plain.log();
    expect_idle({kReaderNames[0], kReaderNames[1]});
}

TEST_F(WindowE2e, CardWithoutTheDongleAppletIsReportedAsNotFound) {
    start_card({"--no-applet"});
    window->press();

    const std::string run =
        "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\n"
        "Finished\r\n";
    EXPECT_EQ(window->memo(), run);
    EXPECT_EQ(window->status(), "Finished");
    EXPECT_EQ(file_lines(), run);
    EXPECT_TRUE(window->reports.empty());
    expect_idle({kReaderNames[0]});
}

TEST_F(WindowE2e, TwoPressesShowTheSecondRunAndTheFileKeepsBoth) {
    VirtualCard& plain = start_card({"--no-applet"});
    window->press();
    plain.stop();
    start_card({"--t1"});
    window->press();

    const std::string second = "Searching...\r\n" + kDefaultReadout + "Finished\r\n";
    EXPECT_EQ(window->memo(), second);
    EXPECT_EQ(file_lines(),
              "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\n"
              "Finished\r\n" +
                  second);
    expect_idle({kReaderNames[0]});
}

// --- Failures during the readout -----------------------------------------------------------

struct RefusalCase {
    const char* name;
    Options protocol;
    std::string refused;  // the command prefix the card answers 6A 82
    const char* report;
};

class FirmwareRefused : public WindowE2e, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(FirmwareRefused, ReportsTheStatusWordStopsTheRunAndTheNextPressReads) {
    const RefusalCase& c = GetParam();
    Options faulty = c.protocol;
    faulty.insert(faulty.end(), {"--sw", c.refused + "=6A82"});
    VirtualCard& card = start_card(faulty);
    window->press();

    const std::string failure = std::string("Dongle can't be read: ") + c.report;
    EXPECT_EQ(window->reports, std::vector<std::string>{c.report});
    EXPECT_EQ(window->memo(), "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\n" + failure + "\r\n");
    EXPECT_EQ(window->status(), failure);
    EXPECT_EQ(file_lines(), window->memo());
    expect_idle({kReaderNames[0]});

    card.stop();
    start_card(c.protocol);
    window->press();
    EXPECT_EQ(window->memo(), "Searching...\r\n" + kDefaultReadout + "Finished\r\n");
    EXPECT_EQ(window->reports.size(), 1u);
    expect_idle({kReaderNames[0]});
}

// Under T=0 a refusal of the command itself comes before any GET RESPONSE, and the channel
// names it as a failed exchange; a refused GET RESPONSE, or any refusal under T=1, is the
// card's own error message.
INSTANTIATE_TEST_SUITE_P(
    Cards, FirmwareRefused,
    ::testing::Values(
        RefusalCase{"CommandT1",
                    {"--t1"},
                    "401062B201FF",
                    "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) "
                    "P1-P2. File not found)"},
        RefusalCase{"CommandT0",
                    {},
                    "401062B201FF",
                    "Send + Receive error. ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File "
                    "not found)"},
        RefusalCase{"GetResponseT0",
                    {},
                    "00C0000002",
                    "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) "
                    "P1-P2. File not found)"}),
    [](const auto& info) { return std::string(info.param.name); });

// The card leaves once the serial line is shown: pcscd has seen the reader empty before the
// firmware command goes out on the now stale card handle.
class PulledBetweenCommands : public WindowE2e, public ::testing::WithParamInterface<bool> {};

TEST_P(PulledBetweenCommands, ReportsTheTransmitFailureAndComesBackIdle) {
    VirtualCard& card = start_card(GetParam() ? Options{"--t1"} : Options{});
    bool pulled = false;
    std::string pull_failure;
    const auto connection = QObject::connect(&window->msg(), &QPlainTextEdit::textChanged, [&] {
        if (pulled || window->msg().text().find("Serial No (S/N): ") == std::string::npos)
            return;
        pulled = true;
        try {
            card.stop();  // returns once pcscd reports the reader empty, or throws
        } catch (const std::exception& e) {
            pull_failure = e.what();
        }
    });
    window->press();
    QObject::disconnect(connection);

    ASSERT_TRUE(pulled) << window->memo();
    ASSERT_EQ(pull_failure, "");
    const std::string removed =
        "SCardTransmit error\r\nSmartCard API error #2148532329\r\nThe smart card has been "
        "removed, so that further communication is not possible.";
    EXPECT_EQ(window->reports, std::vector<std::string>{removed});
    const std::string run =
        "Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nDongle can't be read: " + removed + "\r\n";
    EXPECT_EQ(window->memo(), run);
    EXPECT_EQ(window->status(), "Dongle can't be read: " + removed);
    EXPECT_EQ(file_lines(), run);
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(Protocols, PulledBetweenCommands, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "T1" : "T0"; });

// The card leaves in the middle of an exchange: vpcd then hands pcscd a success with no bytes
// at all, which the channel must refuse rather than read as an answer.
struct MidExchangeCase {
    const char* name;
    Options options;
    std::string pulled_at;  // the APDU left unanswered, as the card logs it
    const char* lines;      // memo up to the failure
};

class PulledMidExchange : public WindowE2e,
                          public ::testing::WithParamInterface<MidExchangeCase> {};

TEST_P(PulledMidExchange, ReportsTheShortAnswerAndComesBackIdle) {
    VirtualCard& card = start_card(GetParam().options);
    window->press();

    EXPECT_EQ(card.wait_exit(kDefaultTimeout), 0) << card.log();
    EXPECT_NE(card.log().find("> " + GetParam().pulled_at + "\nqel_vcard: card pulled"),
              std::string::npos)
        << card.log();
    const std::string failure = "Card returned less than 2 bytes of data, that should not happen!";
    EXPECT_EQ(window->reports, std::vector<std::string>{failure});
    EXPECT_EQ(window->memo(), std::string("Searching...\r\n") + GetParam().lines +
                                  "Dongle can't be read: " + failure + "\r\n");
    EXPECT_EQ(window->status(), "Dongle can't be read: " + failure);
    expect_idle();
}

// The SELECT comes first; under T=0 each read is its command and a GET RESPONSE.
INSTANTIATE_TEST_SUITE_P(
    Moments, PulledMidExchange,
    ::testing::Values(
        MidExchangeCase{"SerialCommandT0", {"--pull-after", "1"}, "40 10 62 12 01 FF", ""},
        MidExchangeCase{"SerialGetResponseT0", {"--pull-after", "2"}, "00 C0 00 00 08", ""},
        MidExchangeCase{"FirmwareCommandT1",
                        {"--t1", "--pull-after", "2"},
                        "40 10 62 B2 01 FF",
                        "Serial No (S/N): 0A1B2C3D\r\n"},
        MidExchangeCase{"ErrorCodeGetResponseT0",
                        {"--pull-after", "6"},
                        "00 C0 00 00 02",
                        "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::e2e

// --- A dongle whose card profile cannot be read ------------------------------------------------

#include "tests/gp/test_card_db_support.h"

namespace qel::e2e {
namespace {

class WindowWithProfiles : public WindowE2e {
protected:
    // The card profiles are read from ./KSCard.ini: the test's own, in a directory of its own.
    const gp::testing::ScratchDir dir;
};

TEST_F(WindowWithProfiles, OddHexValueInTheDonglesProfileIsNamedUnderTheNotFoundLine) {
    dir.write("KSCard.ini",
              "[3B759400006202020301]\r\nCardManagerAID=A0000000030000\r\n"
              "AUTHKey=404142434445464748494A4B4C4D4E4\r\n");
    start_card();
    window->press();

    const std::string run =
        "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\n" +
        (dir.path() / "KSCard.ini").string() +
        " [3B759400006202020301] AUTHKey: odd number of hex digits\r\nFinished\r\n";
    EXPECT_EQ(window->memo(), run);
    EXPECT_EQ(window->status(), "Finished");
    EXPECT_EQ(file_lines(), run);
    EXPECT_TRUE(window->reports.empty());
    expect_idle({kReaderNames[0]});
}

}  // namespace
}  // namespace qel::e2e
