#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <utility>

#include "card/KSCardAPIExceptions.h"
#include "card/UEKSCard.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "util/Exception.h"

namespace qel::card {
namespace {

using namespace qel::testing;
using util::ByteString;

const ByteString kDongle("qel21\x01\x01\x01", 8);

class Facade : public FakePcscTest {
protected:
    // The dongle on T=1: its applet answers 40 10 62 12 01 xx with eight serial bytes.
    fakepcsc::FakeCard& add_dongle(const std::string& reader) {
        auto& card = add_gp_card(reader, SCARD_PROTOCOL_T1, {kDongleAid});
        card.answer_prefix({0x40, 0x10, 0x62, 0x12},
                           {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71, 0x90, 0x00});
        card.answer_prefix({0x40, 0x10, 0x62, 0xB2}, {0x01, 0x0A, 0x90, 0x00});
        return card;
    }
};

TEST_F(Facade, ConnectsTheCardThatAcceptsTheAid) {
    add_gp_card("Reader A");
    add_dongle("Reader B");
    t_ekscard session(true);
    EXPECT_TRUE(session.connect_by_aid(kDongle));
    EXPECT_TRUE(session.is_connected());
    EXPECT_EQ(session.card->ReaderName, "Reader B");
    EXPECT_EQ(session.get_last_error(), "");
    EXPECT_EQ(sent().back(), select_apdu(kDongleAid));
}

TEST_F(Facade, FailedConnectionKeepsTheTextAndALaterSuccessClearsIt) {
    auto& card = add_gp_card("Reader A");
    t_ekscard session(true);
    EXPECT_FALSE(session.connect_by_aid(kDongle));
    EXPECT_EQ(session.card, nullptr);
    EXPECT_EQ(session.get_last_error(), "Card with specified AID is not found");

    card.answer(select_apdu(kDongleAid), kSw9000);
    EXPECT_TRUE(session.connect_by_aid(kDongle));
    EXPECT_EQ(session.get_last_error(), "");
}

TEST_F(Facade, TheLastErrorKeepsEveryLineOfTheNotFoundText) {
    add_dongle("Reader A");
    pcsc.reader("Reader A").connect_result = static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
    t_ekscard session(true);
    for (const ByteString& aid : {kDongle, ByteString()}) {
        EXPECT_FALSE(session.connect_by_aid(aid));
        EXPECT_EQ(session.get_last_error(),
                  "Card with specified AID is not found\r\nThe card in reader \"Reader A\" is in "
                  "use by another program, or still busy with a command that did not finish "
                  "(then unplug it and plug it in again)");
    }
}

TEST_F(Facade, EmptyAidConnectsTheFirstCardThatAnswers) {
    add_gp_card("Reader A");
    t_ekscard session(true);
    EXPECT_TRUE(session.connect_by_aid(""));
    EXPECT_EQ(sent(), std::vector<Bytes>{select_apdu(kCardManagerAid)});
}

TEST_F(Facade, EachConnectionDropsTheOneBefore) {
    add_dongle("Reader A");
    t_ekscard session(true);
    ASSERT_TRUE(session.connect_by_aid(kDongle));
    const SCARDHANDLE first = pcsc.last_card();
    ASSERT_TRUE(session.connect_first());
    EXPECT_EQ(pcsc.disconnects(first), 1u);
    EXPECT_EQ(pcsc.open_connections(), 1u);
}

struct ReaderCase {
    const char* name;
    ByteString aid;
    std::string reader;
    std::string connected;  // the connected card's reader; empty: none
    std::string last_error;
    std::vector<std::string> tried;  // the readers connected, in order
};

class ConnectionInOneReader : public Facade, public ::testing::WithParamInterface<ReaderCase> {};

TEST_P(ConnectionInOneReader, TriesThatReaderAloneAndNamesOneThatIsNotThere) {
    const auto& c = GetParam();
    add_gp_card("Reader A");
    add_dongle("Reader B");
    pcsc.add_reader("Reader C").card_present = false;
    {
        t_ekscard session(true);
        EXPECT_EQ(session.connect_by_aid(c.aid, c.reader), !c.connected.empty());
        EXPECT_EQ(session.card ? session.card->ReaderName : "", c.connected);
        EXPECT_EQ(session.get_last_error(), c.last_error);
    }
    std::vector<std::string> tried;
    for (const auto& call : pcsc.calls("SCardConnect"))
        tried.push_back(call.reader);
    EXPECT_EQ(tried, c.tried);
    expect_everything_released();
}

const std::string kNotFound = "Card with specified AID is not found";

INSTANTIATE_TEST_SUITE_P(
    Table, ConnectionInOneReader,
    ::testing::Values(
        ReaderCase{"AnyReader", kDongle, "", "Reader B", "", {"Reader A", "Reader B"}},
        ReaderCase{"TheDonglesReader", kDongle, "Reader B", "Reader B", "", {"Reader B"}},
        ReaderCase{"ReaderWithAnotherCard", kDongle, "Reader A", "", kNotFound, {"Reader A"}},
        ReaderCase{"EmptyReader", kDongle, "Reader C", "", kNotFound, {"Reader C"}},
        ReaderCase{
            "UnknownReader", kDongle, "Reader X", "", "Reader \"Reader X\" is not connected", {}},
        ReaderCase{"NameMatchedExactly",
                   kDongle,
                   "reader b",
                   "",
                   "Reader \"reader b\" is not connected",
                   {}},
        ReaderCase{"FirstCardInOneReader", "", "Reader B", "Reader B", "", {"Reader B"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CommandCase {
    const char* name;
    ByteString data;
    std::uint8_t answer_length;
    Bytes sent;
    ByteString answer;
};

class FacadeCommands : public Facade, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(FacadeCommands, SendAndCutTheAnswer) {
    add_dongle("Reader A");
    t_ekscard session(true);
    ASSERT_TRUE(session.connect_by_aid(kDongle));
    ByteString answer = "stale";
    session.send_command(0x40, 0x10, 0x62, 0x12, GetParam().answer_length, GetParam().data, answer);
    EXPECT_EQ(sent().back(), GetParam().sent);
    EXPECT_EQ(pcsc.calls("SCardTransmit").back().buffer_size, 255u + 2u);
    EXPECT_EQ(answer, GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FacadeCommands,
    ::testing::Values(CommandCase{"empty_data_goes_as_ff",
                                  "",
                                  8,
                                  {0x40, 0x10, 0x62, 0x12, 0x01, 0xFF},
                                  ByteString("\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", 8)},
                      CommandCase{"cut_to_four",
                                  ByteString("\xFF", 1),
                                  4,
                                  {0x40, 0x10, 0x62, 0x12, 0x01, 0xFF},
                                  ByteString("\x0A\x1B\x2C\x3D", 4)},
                      CommandCase{"data_as_given",
                                  ByteString("\x00\x01", 2),
                                  255,
                                  {0x40, 0x10, 0x62, 0x12, 0x02, 0x00, 0x01},
                                  ByteString("\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", 8)},
                      CommandCase{"zero_length_answer",
                                  ByteString("\xFF", 1),
                                  0,
                                  {0x40, 0x10, 0x62, 0x12, 0x01, 0xFF},
                                  ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Facade, ShortAnswerComesWhole) {
    add_dongle("Reader A");
    t_ekscard session(true);
    ASSERT_TRUE(session.connect_by_aid(kDongle));
    ByteString answer;
    session.send_command(0x40, 0x10, 0x62, 0xB2, 4, "", answer);
    EXPECT_EQ(answer, ByteString("\x01\x0A", 2));
}

TEST_F(Facade, WithoutAConnectionTheAnswerIsEmptyAndNothingIsSent) {
    add_dongle("Reader A");
    t_ekscard session(true);
    ByteString answer = "stale";
    session.send_command(0x40, 0x10, 0x62, 0x12, 8, "", answer);
    EXPECT_EQ(answer, "");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(session.last_command_ms, 0u);
}

TEST_F(Facade, CardFailuresPassToTheCallerAndLeaveTheLastErrorAlone) {
    add_dongle("Reader A");
    t_ekscard session(true);
    ASSERT_TRUE(session.connect_by_aid(kDongle));
    ByteString answer;
    EXPECT_THROW(session.send_command(0x40, 0x10, 0x62, 0x20, 2, "", answer), util::Exception);
    EXPECT_EQ(session.get_last_error(), "");
    EXPECT_TRUE(session.is_connected());
}

TEST_F(Facade, TheCardGoesBeforeTheContext) {
    add_dongle("Reader A");
    {
        t_ekscard session(true);
        ASSERT_TRUE(session.connect_by_aid(kDongle));
    }
    std::size_t disconnect_at = 0, release_at = 0;
    for (std::size_t i = 0; i < pcsc.log.size(); ++i) {
        if (pcsc.log[i].function == "SCardDisconnect")
            disconnect_at = i;
        if (pcsc.log[i].function == "SCardReleaseContext")
            release_at = i;
    }
    EXPECT_LT(disconnect_at, release_at);
    expect_everything_released();
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

TEST_F(Facade, FailedContextFailsTheConstructionWithItsText) {
    pcsc.fail_always("SCardListReaders", static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
    try {
        t_ekscard session(true);
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Error when listing readers\r\nSmartCard API error #2148532270\r\n"
                     "Cannot find a smart card reader.");
    }
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

// Both constructors leave with the plain class and the listing's text; a caller that needs the
// PC/SC code (to tell a stopped service from a missing reader) finds it nested underneath.
TEST_F(Facade, ThePlainFailureCarriesTheListingFailureWithItsCode) {
    const std::pair<const char*, std::function<void()>> constructions[] = {
        {"facade", [] { t_ekscard session(true); }},
        {"card API", [] { TKSCardAPI api(0); }},
    };
    for (const auto& [name, construct] : constructions) {
        SCOPED_TRACE(name);
        for (const LONG code : {static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE),
                                static_cast<LONG>(SCARD_E_NO_SERVICE)}) {
            pcsc.fail_always("SCardListReaders", code);
            std::uint32_t nested_code = 0;
            try {
                construct();
                ADD_FAILURE() << "no exception";
            } catch (const EKSCardAPIWinAPIException&) {
                ADD_FAILURE() << "the card-layer class must not leave the constructor";
            } catch (const util::Exception& e) {
                try {
                    std::rethrow_if_nested(e);
                } catch (const EKSCardAPIWinAPIException& inner) {
                    EXPECT_STREQ(inner.what(), e.what());
                    nested_code = inner.ErrorCode;
                }
            }
            EXPECT_EQ(nested_code, static_cast<std::uint32_t>(code));
            EXPECT_EQ(pcsc.open_contexts(), 0u);
        }
    }
}

TEST_F(Facade, OnlyALoudSessionPrintsItsFailures) {
    for (bool quiet : {true, false}) {
        t_ekscard session(quiet);
        ::testing::internal::CaptureStdout();
        session.connect_by_aid(kDongle);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  quiet ? "" : "Card-Reader is not found\n");
    }
}

struct HexCase {
    ByteString data;
    unsigned count;
    const char* hex;
};

class BytesToHex : public ::testing::TestWithParam<HexCase> {};

TEST_P(BytesToHex, UpperCaseDigitsOfTheFirstBytes) {
    EXPECT_EQ(bytes_to_hex(GetParam().data, GetParam().count), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BytesToHex,
    ::testing::Values(HexCase{ByteString("\x00\x0F\xA0\xFF", 4), 0, "000FA0FF"},
                      HexCase{ByteString("\x00\x0F\xA0\xFF", 4), 2, "000F"}, HexCase{"", 0, ""},
                      HexCase{"", 3, ""}, HexCase{ByteString("\xAB", 1), 9, "AB"}));

struct NumberCase {
    ByteString data;
    std::uint64_t value;
};

class BytesToUint64 : public ::testing::TestWithParam<NumberCase> {};

TEST_P(BytesToUint64, BigEndianUpToEightBytes) {
    EXPECT_EQ(bytes_to_uint64(GetParam().data), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, BytesToUint64,
                         ::testing::Values(NumberCase{ByteString("\x01\x0A", 2), 266},
                                           NumberCase{ByteString("\x07", 1), 7}, NumberCase{"", 0},
                                           NumberCase{ByteString(9, '\x01'), 0},
                                           NumberCase{ByteString(8, '\xFF'), ~std::uint64_t{0}},
                                           NumberCase{
                                               ByteString("\x01\x00\x00\x00\x00\x00\x00\x00", 8),
                                               std::uint64_t{1} << 56}));

}  // namespace
}  // namespace qel::card
