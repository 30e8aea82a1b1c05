#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <future>
#include <string>

#include "readout/insertion_watch.h"
#include "readout/readout.h"
#include "tests/support/fake_pcsc_fixture.h"

namespace qel::app {
namespace {

using namespace qel::testing;
using Outcome = ReadoutResult::Outcome;

// Keeps each line as "status: " or "add: " and its text, with a line feed; stops once it holds
// `stop_after` lines.
class RecordedLines : public ReadoutOutput {
public:
    RecordedLines(const fakepcsc::FakePcsc& pcsc, std::size_t stop_after)
        : m_pcsc(pcsc), m_stop_after(stop_after) {}

    void add(const std::string& line) override { keep("add: " + line); }
    void add_status(const std::string& line) override {
        keep("status: " + line);
        connections_at_last_status = m_pcsc.open_connections();
    }
    bool stopped() const override { return m_count == m_stop_after; }

    std::string text;
    std::size_t connections_at_last_status = 0;

private:
    void keep(const std::string& line) {
        text += line + "\n";
        ++m_count;
    }

    const fakepcsc::FakePcsc& m_pcsc;
    std::size_t m_stop_after;
    std::size_t m_count = 0;
};

enum class Dongles {
    kInReaderA,          // error code 00 2A
    kErrorLowByteZero,   // error code 01 00
    kNoReader,           // an empty reader list
    kOtherCard,          // a card without the dongle's applet
    kInAnotherReader,    // the readout asks for "Reader X"
    kFirmwareRefused,    // 6A 82 to the firmware command
    kPulledAtErrorCode,  // the card leaves as the error-code command goes out
    kHeldAtFirst,        // another program lets the card go after the first try, as a watch's
    kHeldThroughout,     // another program keeps the card beyond a watch's patience
};

struct ReadoutCase {
    const char* name;
    Dongles dongles;
    std::size_t stop_after;  // 0: never
    Outcome outcome;
    std::uint16_t error_word;
    std::size_t transmits;
    std::string lines;
};

class Readout : public FakePcscTest, public ::testing::WithParamInterface<ReadoutCase> {
protected:
    void arrange(Dongles dongles) {
        const Bytes serial{0x0A, 0x1B, 0x2C, 0x3D};
        if (dongles == Dongles::kErrorLowByteZero)
            add_dongle("Reader A", SCARD_PROTOCOL_T1, serial, {0x01, 0x0A}, {0x01, 0x00});
        else if (dongles == Dongles::kOtherCard)
            add_gp_card("Reader A");
        else if (dongles != Dongles::kNoReader)
            add_dongle("Reader A").responder = [dongles](const Bytes& command) {
                const bool refuse = dongles == Dongles::kFirmwareRefused && command[3] == 0xB2;
                return refuse ? std::optional<Bytes>(Bytes{0x6A, 0x82}) : std::nullopt;
            };
        if (dongles == Dongles::kInAnotherReader)
            options.reader = "Reader X";
        // Under T=1 the error code is the fourth transmit, after the SELECT, serial and firmware.
        if (dongles == Dongles::kPulledAtErrorCode)
            pcsc.fail_call("SCardTransmit", 4, static_cast<LONG>(SCARD_W_REMOVED_CARD));
        if (dongles == Dongles::kHeldAtFirst || dongles == Dongles::kHeldThroughout)
            options.held_card_patience = std::chrono::milliseconds(120);
        if (dongles == Dongles::kHeldAtFirst)
            pcsc.fail_call("SCardConnect", 1, static_cast<LONG>(SCARD_E_SHARING_VIOLATION));
        if (dongles == Dongles::kHeldThroughout)
            pcsc.reader("Reader A").connect_result = static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
    }

    ReadoutOptions options;
};

TEST_P(Readout, LogsTheWindowsLinesAndLeavesNothingHeld) {
    const auto& c = GetParam();
    arrange(c.dongles);
    RecordedLines output(pcsc, c.stop_after);
    std::unique_ptr<t_qel_sc_base> dongle;

    const ReadoutResult result = read_dongle(dongle, output, options);

    EXPECT_EQ(output.text, c.lines);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.error_word, c.error_word);
    EXPECT_EQ(pcsc.count("SCardTransmit"), c.transmits);
    // Only a held card is tried again, and that without a line of its own.
    EXPECT_EQ(pcsc.count("SCardConnect") > 1,
              c.dongles == Dongles::kHeldAtFirst || c.dongles == Dongles::kHeldThroughout);
    // Anything sent after the SELECT went to the dongle connected in "Reader A".
    EXPECT_EQ(result.reader, c.transmits > 1 ? "Reader A" : "");
    if (c.outcome == Outcome::Read) {
        EXPECT_EQ(result.serial, "0A1B2C3D");
        EXPECT_EQ(result.firmware, 0x010A);
        EXPECT_EQ(result.error_code, c.error_word & 0xFFu);
    }
    if (c.outcome == Outcome::NotFound || c.outcome == Outcome::Failed) {
        ASSERT_GT(c.lines.size(), result.failure.size() + 1);
        EXPECT_EQ(c.lines.substr(c.lines.size() - result.failure.size() - 1),
                  result.failure + "\n");
    }
    // A failed read lets the card go before its line.
    EXPECT_EQ(output.connections_at_last_status, 0u);
    // The session keeps a failed connection as text only; what failed under the rest is kept.
    ASSERT_EQ(result.cause != nullptr,
              c.outcome == Outcome::Failed || c.dongles == Dongles::kNoReader);
    if (result.cause) {
        try {
            std::rethrow_exception(result.cause);
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), result.failure);
        }
    }
    EXPECT_EQ(dongle, nullptr);
    expect_everything_released();
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

// A front end that reads dongle after dongle lends the readout its context: the same lines,
// and the context is neither released nor joined by another.
TEST_P(Readout, OnTheCallersContextGivesTheSameLinesAndLeavesItOpen) {
    const auto& c = GetParam();
    arrange(c.dongles);
    RecordedLines output(pcsc, c.stop_after);
    std::unique_ptr<t_qel_sc_base> dongle;
    card::PcscContext context = card::establish_context(SCARD_SCOPE_USER);
    options.context = context.get();

    const ReadoutResult result = read_dongle(dongle, output, options);

    EXPECT_EQ(output.text, c.lines);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(pcsc.count("SCardEstablishContext"), 1u);
    EXPECT_EQ(pcsc.count("SCardReleaseContext"), 0u);
    EXPECT_EQ(pcsc.open_contexts(), 1u);
    EXPECT_EQ(pcsc.open_connections(), 0u);
    context.reset();
    expect_everything_released();
}

const std::string kSerial = "status: Searching...\nadd: Serial No (S/N): 0A1B2C3D\n";
const std::string kFirmware = kSerial + "add: Firmware version: 010A\n";
const std::string kNotFound = "status: Searching...\nstatus: Dongle can't be found: ";
const std::string kNotRead = "status: Dongle can't be read: ";

INSTANTIATE_TEST_SUITE_P(
    Table, Readout,
    ::testing::Values(
        ReadoutCase{"DongleRead", Dongles::kInReaderA, 0, Outcome::Read, 0x002A, 4,
                    kFirmware + "add: Error Code: 0x2A\n"},
        ReadoutCase{"ErrorCodeWithALowByteOfZeroHasNoLine", Dongles::kErrorLowByteZero, 0,
                    Outcome::Read, 0x0100, 4, kFirmware},
        ReadoutCase{"NoReader", Dongles::kNoReader, 0, Outcome::NotFound, 0, 0,
                    kNotFound + "Card-Reader is not found\n"},
        ReadoutCase{"NoDongle", Dongles::kOtherCard, 0, Outcome::NotFound, 0, 1,
                    kNotFound + "Card with specified AID is not found\n"},
        ReadoutCase{"NamedReaderNotConnected", Dongles::kInAnotherReader, 0, Outcome::NotFound, 0,
                    0, kNotFound + "Reader \"Reader X\" is not connected\n"},
        ReadoutCase{"FirmwareRefusedWithAStatusWord", Dongles::kFirmwareRefused, 0, Outcome::Failed,
                    0, 3,
                    kSerial + kNotRead +
                        "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) "
                        "P1-P2. File not found)\n"},
        ReadoutCase{"CardPulledDuringTheReads", Dongles::kPulledAtErrorCode, 0, Outcome::Failed, 0,
                    4,
                    kFirmware + kNotRead +
                        "SCardTransmit error\r\nSmartCard API error #2148532329\r\nThe smart card "
                        "has been removed, so that further communication is not possible.\n"},
        ReadoutCase{"StopRequestedAfterTheSerialLine", Dongles::kInReaderA, 2, Outcome::Stopped, 0,
                    2, kSerial},
        ReadoutCase{"HeldCardTriedAgainUntilItIsLetGo", Dongles::kHeldAtFirst, 0, Outcome::Read,
                    0x002A, 4, kFirmware + "add: Error Code: 0x2A\n"},
        ReadoutCase{"HeldCardReportedOnceThePatienceIsOver", Dongles::kHeldThroughout, 0,
                    Outcome::NotFound, 0, 0,
                    kNotFound +
                        "Card with specified AID is not found\r\nThe card in reader \"Reader A\" "
                        "is in use by another program, or still busy with a command that did not "
                        "finish (then unplug it and plug it in again)\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- reading on insertion ------------------------------------------------------------------

// What a front end is told by a watch, a line each.
class RecordedWatch : public InsertionHandler {
public:
    void inserted(const std::string& reader) override { text += "inserted: " + reader + "\n"; }
    void notice(const std::string& message) override { text += "notice: " + message + "\n"; }
    std::string text;
};

struct WatchCase {
    const char* name;
    bool card_at_start;
    std::string only_reader;
    const char* failing_call;  // if any, fails once with failing_code, at its call number
    int failing_number;
    std::string told;
    LONG failing_code = static_cast<LONG>(SCARD_E_NO_SERVICE);
};

class InsertionWatch : public FakePcscTest, public ::testing::WithParamInterface<WatchCase> {
protected:
    void TearDown() override {
        std::filesystem::remove_all(socket_dir);
        FakePcscTest::TearDown();
    }
    std::filesystem::path socket_dir;
};

TEST_P(InsertionWatch, TellsTheFrontEndOfEachInsertionAndOfTheService) {
    const WatchCase& c = GetParam();
    pcsc.add_reader("Reader A").card_present = c.card_at_start;
    pcsc.add_reader("Reader B").card_present = false;
    if (!c.card_at_start) {
        pcsc.status_changes.push_back(
            [](fakepcsc::FakePcsc& p) { p.reader("Reader A").insert_card(); });
        pcsc.status_changes.push_back(
            [](fakepcsc::FakePcsc& p) { p.reader("Reader B").insert_card(); });
    }
    if (c.failing_call != nullptr)
        pcsc.fail_call(c.failing_call, c.failing_number, c.failing_code);
    char name[] = "/tmp/qel-insertion-watch.XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    socket_dir = name;
    card::CardWatchOptions options;
    options.report_present_cards = true;
    options.socket_path = (socket_dir / "pcscd.comm").string();

    RecordedWatch told;
    {
        card::CardWatch watch(options);
        auto watching =
            std::async(std::launch::async, [&] { watch_insertions(watch, told, c.only_reader); });
        // Every change made, the watch waits for good.
        EXPECT_TRUE(fakepcsc::wait_until_blocked(std::chrono::seconds(5)));
        watch.stop();
        EXPECT_EQ(watching.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    }
    EXPECT_EQ(told.text, c.told);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InsertionWatch,
    ::testing::Values(
        WatchCase{"ServiceAwayAtStartIsNotRunningThenStarted", true, "", "SCardEstablishContext", 1,
                  std::string("notice: ") + kServiceNotRunning + "\nnotice: " + kServiceStarted +
                      "\ninserted: Reader A\n"},
        WatchCase{"ServiceGoneDuringTheWatchHasStoppedThenIsBack", false, "",
                  "SCardGetStatusChange", 2,
                  std::string("notice: ") + kServiceStopped + "\nnotice: " + kServiceBack +
                      "\ninserted: Reader A\ninserted: Reader B\n"},
        WatchCase{"OnlyTheNamedReaderCounts", false, "Reader B", nullptr, 0,
                  "inserted: Reader B\n"},
        // The service's first list has no reader; PC/SC says so with a failure.
        WatchCase{"NoReaderIsSaid", true, "", "SCardListReaders", 1,
                  std::string("notice: ") + kNoReader + "\n",
                  static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)},
        WatchCase{"NoReaderIsLeftToTheFrontEndThatNamedOne", true, "Reader B", "SCardListReaders",
                  1, "", static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::app
