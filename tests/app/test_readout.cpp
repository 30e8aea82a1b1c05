#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "app/readout.h"
#include "tests/support/fake_pcsc_fixture.h"

namespace qel::app {
namespace {

using namespace qel::testing;
using Outcome = ReadoutResult::Outcome;

// Keeps the lines as "status: ..." and "add: ...", and stops once it holds `stop_after` of them.
class RecordedLines : public ReadoutOutput {
public:
    RecordedLines(fakepcsc::FakePcsc& pcsc, std::size_t stop_after)
        : m_pcsc(pcsc), m_stop_after(stop_after) {}

    void add(const std::string& line) override { lines.push_back("add: " + line); }
    void add_status(const std::string& line) override {
        lines.push_back("status: " + line);
        connections_at_last_status = m_pcsc.open_connections();
    }
    bool stopped() const override { return m_stop_after != 0 && lines.size() >= m_stop_after; }

    std::vector<std::string> lines;
    std::size_t connections_at_last_status = 0;

private:
    fakepcsc::FakePcsc& m_pcsc;
    std::size_t m_stop_after;
};

enum class Dongles {
    kDongle,             // the dongle in "Reader A", error code 00 2A
    kNoReader,           // an empty reader list
    kOtherCard,          // a card without the dongle's applet in "Reader A"
    kFirmwareRefused,    // the dongle answers the firmware command with 6A 82
    kPulledAtErrorCode,  // the card leaves as the error-code command goes out
    kErrorLowByteZero,   // the dongle's error code is 01 00
    kTwoDongles,         // dongles in "Reader A" and "Reader B"
};

struct ReadoutCase {
    const char* name;
    Dongles setup;
    std::string reader;      // ReadoutOptions::reader
    std::size_t stop_after;  // lines after which the output stops; 0: never
    std::vector<std::string> lines;
    Outcome outcome;
    std::string found_in;  // ReadoutResult::reader
    std::uint16_t error_word;
    bool has_cause;
    std::size_t transmits;
};

class Readout : public FakePcscTest, public ::testing::WithParamInterface<ReadoutCase> {
protected:
    void arrange(Dongles setup) {
        switch (setup) {
            case Dongles::kDongle:
                add_dongle("Reader A");
                break;
            case Dongles::kNoReader:
                break;
            case Dongles::kOtherCard:
                add_gp_card("Reader A");
                break;
            case Dongles::kFirmwareRefused:
                add_dongle("Reader A").responder = [](const Bytes& command) {
                    return command == Bytes{0x40, 0x10, 0x62, 0xB2, 0x01, 0xFF}
                               ? std::optional<Bytes>(Bytes{0x6A, 0x82})
                               : std::nullopt;
                };
                break;
            case Dongles::kPulledAtErrorCode:
                add_dongle("Reader A");
                // Under T=1: the SELECT, the serial, the firmware, then the error code.
                pcsc.fail_call("SCardTransmit", 4, static_cast<LONG>(SCARD_W_REMOVED_CARD));
                break;
            case Dongles::kErrorLowByteZero:
                add_dongle("Reader A", SCARD_PROTOCOL_T1, {0x0A, 0x1B, 0x2C, 0x3D}, {0x01, 0x0A},
                           {0x01, 0x00});
                break;
            case Dongles::kTwoDongles:
                add_dongle("Reader A", SCARD_PROTOCOL_T1, {0x11, 0x11, 0x11, 0x11});
                add_dongle("Reader B");
                break;
        }
    }
};

TEST_P(Readout, LogsTheWindowsLinesAndLeavesNothingHeld) {
    const auto& c = GetParam();
    arrange(c.setup);
    RecordedLines output(pcsc, c.stop_after);
    std::unique_ptr<t_qel_sc_base> dongle;

    const ReadoutResult result = read_dongle(dongle, output, ReadoutOptions{c.reader});

    EXPECT_EQ(output.lines, c.lines);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.reader, c.found_in);
    EXPECT_EQ(result.error_word, c.error_word);
    EXPECT_EQ(pcsc.count("SCardTransmit"), c.transmits);
    if (c.outcome == Outcome::Read) {
        EXPECT_EQ(output.lines[1], "add: Serial No (S/N): " + result.serial);
        EXPECT_EQ(result.firmware, 0x010A);
        EXPECT_EQ(result.error_code, c.error_word & 0xFFu);
    }
    if (c.outcome == Outcome::NotFound || c.outcome == Outcome::Failed) {
        const std::string prefix =
            c.outcome == Outcome::NotFound ? "Dongle can't be found: " : "Dongle can't be read: ";
        EXPECT_EQ(output.lines.back(), "status: " + prefix + result.failure);
    }
    // A failed read has let the card go before its line.
    EXPECT_EQ(output.connections_at_last_status, 0u);
    ASSERT_EQ(result.cause != nullptr, c.has_cause);
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

const std::string kSearching = "status: Searching...";
const std::string kSerial = "add: Serial No (S/N): 0A1B2C3D";
const std::string kFirmware = "add: Firmware version: 010A";

INSTANTIATE_TEST_SUITE_P(
    Table, Readout,
    ::testing::Values(
        ReadoutCase{"DongleRead",
                    Dongles::kDongle,
                    "",
                    0,
                    {kSearching, kSerial, kFirmware, "add: Error Code: 0x2A"},
                    Outcome::Read,
                    "Reader A",
                    0x002A,
                    false,
                    4},
        ReadoutCase{"ErrorCodeWithALowByteOfZeroHasNoLine",
                    Dongles::kErrorLowByteZero,
                    "",
                    0,
                    {kSearching, kSerial, kFirmware},
                    Outcome::Read,
                    "Reader A",
                    0x0100,
                    false,
                    4},
        ReadoutCase{"NoReader",
                    Dongles::kNoReader,
                    "",
                    0,
                    {kSearching, "status: Dongle can't be found: Card-Reader is not found"},
                    Outcome::NotFound,
                    "",
                    0,
                    true,
                    0},
        ReadoutCase{
            "NoDongle",
            Dongles::kOtherCard,
            "",
            0,
            {kSearching, "status: Dongle can't be found: Card with specified AID is not found"},
            Outcome::NotFound,
            "",
            0,
            false,
            1},
        ReadoutCase{"FirmwareRefusedWithAStatusWord",
                    Dongles::kFirmwareRefused,
                    "",
                    0,
                    {kSearching, kSerial,
                     "status: Dongle can't be read: Card returned error message . ISO7816 error "
                     "0x6A82 (Wrong parameter(s) P1-P2. File not found)"},
                    Outcome::Failed,
                    "Reader A",
                    0,
                    true,
                    3},
        ReadoutCase{"CardPulledDuringTheReads",
                    Dongles::kPulledAtErrorCode,
                    "",
                    0,
                    {kSearching, kSerial, kFirmware,
                     "status: Dongle can't be read: SCardTransmit error\r\nSmartCard API error "
                     "#2148532329\r\nThe smart card has been removed, so that further "
                     "communication is not possible."},
                    Outcome::Failed,
                    "Reader A",
                    0,
                    true,
                    4},
        ReadoutCase{"StopRequestedAfterTheSerialLine",
                    Dongles::kDongle,
                    "",
                    2,
                    {kSearching, kSerial},
                    Outcome::Stopped,
                    "Reader A",
                    0,
                    false,
                    2},
        ReadoutCase{"StopRequestedAfterSearching",
                    Dongles::kDongle,
                    "",
                    1,
                    {kSearching},
                    Outcome::Stopped,
                    "",
                    0,
                    false,
                    0},
        ReadoutCase{"OnlyTheNamedReader",
                    Dongles::kTwoDongles,
                    "Reader B",
                    0,
                    {kSearching, kSerial, kFirmware, "add: Error Code: 0x2A"},
                    Outcome::Read,
                    "Reader B",
                    0x002A,
                    false,
                    4},
        ReadoutCase{
            "NamedReaderNotConnected",
            Dongles::kDongle,
            "Reader X",
            0,
            {kSearching, "status: Dongle can't be found: Reader \"Reader X\" is not connected"},
            Outcome::NotFound,
            "",
            0,
            false,
            0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::app
