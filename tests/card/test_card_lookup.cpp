#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>

#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "tests/gp/test_card_db_support.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "util/Exception.h"

namespace qel::card {
namespace {

using namespace qel::testing;

const std::string kDongleHex = "71656C3231010101";
const std::string kAidNotFound = "Card with specified AID is not found";

class CardLookup : public FakePcscTest {};

// Two ATRs with profiles of their own in ./KSCard.ini, each with a hex value the byte conversion
// refuses; the e-gate ATR of the other cards keeps its built-in profile.
const Bytes kOddHexAtr{0x3B, 0x88, 0x01, 0x51, 0x45, 0x4C, 0x2D, 0x44, 0x4F, 0x4E, 0x47, 0xFE};
const Bytes kNoHexAtr{0x3B, 0x02, 0x14, 0x50};
const std::string kProfiles =
    "[3B880151454C2D444F4E47FE]\r\nCardManagerAID=A0000000030000\r\n"
    "AUTHKey=404142434445464748494A4B4C4D4E4\r\n"
    "[3B021450]\r\nAlias=Shared Keys\r\n"
    "[Shared Keys]\r\nCardManagerAID=A0000000030000\r\nMACKey=<unknown>\r\n";
// "{dir}" stands for the test's directory, the current one.
const std::string kOddHexReason =
    "{dir}/KSCard.ini [3B880151454C2D444F4E47FE] AUTHKey: odd number of hex digits";
const std::string kNoHexReason = "{dir}/KSCard.ini [Shared Keys] MACKey: no hex digits";

std::string held_reason(const std::string& reader) {
    return "\r\nThe card in reader \"" + reader +
           "\" is in use by another program, or still busy with a command that did not finish "
           "(then unplug it and plug it in again)";
}

// The card profile database reads ./KSCard.ini: each test runs in a directory holding kProfiles.
class LookupWithProfiles : public FakePcscTest {
protected:
    void SetUp() override {
        FakePcscTest::SetUp();
        dir.write("KSCard.ini", kProfiles);
    }

    const gp::testing::ScratchDir dir;
};

TEST_F(CardLookup, ListingFailureBecomesAGeneralExceptionWithTheThreeLineText) {
    pcsc.fail_always("SCardListReaders", static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
    try {
        TKSCardAPI api(0);
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException&) {
        FAIL() << "the card-layer class must not leave the constructor";
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Error when listing readers\r\nSmartCard API error #2148532270\r\n"
                     "Cannot find a smart card reader.");
    }
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

TEST_F(CardLookup, FailedContextGivesItsText) {
    pcsc.fail_always("SCardEstablishContext", static_cast<LONG>(SCARD_E_NO_SERVICE));
    try {
        TKSCardAPI api(0);
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_STREQ(e.what(),
                     "Error when establishing context\r\nSmartCard API error #2148532253\r\n"
                     "The Smart card resource manager is not running.");
    }
}

TEST_F(CardLookup, FailedFreeOfTheReaderListIsReported) {
    pcsc.add_reader("Reader R");
    pcsc.fail_always("SCardFreeMemory", static_cast<LONG>(SCARD_E_INVALID_HANDLE));
    try {
        TKSCardAPI api(0);
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error when freeing memory\r\n", 0), 0u) << e.what();
    }
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

TEST_F(CardLookup, EmptyListFailsAtTheFirstSearch) {
    TKSCardAPI api(0);
    ASSERT_NE(api.Readers, nullptr);
    EXPECT_EQ(api.Readers->size(), 0u);
    try {
        api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE);
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_STREQ(e.what(), "Card-Reader is not found");
        EXPECT_EQ(e.ErrorCode, 0u);
    }
}

TEST_F(CardLookup, ReadersAreListedInOrderAndAOneCharacterNameEndsTheList) {
    pcsc.add_reader("Reader A");
    pcsc.add_reader("Reader B");
    pcsc.set_raw_reader_list(std::string("Reader A\0X\0Reader B\0\0", 21));
    TKSCardAPI api(0);
    ASSERT_EQ(api.Readers->size(), 1u);
    EXPECT_EQ(api.Readers->Items(0).Name, "Reader A");
    EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
}

TEST_F(CardLookup, TheCardInTheSecondReaderIsFoundAfterTheFirstRefuses) {
    add_gp_card("Reader A");
    add_gp_card("Reader B", SCARD_PROTOCOL_T0, {kDongleAid});
    {
        TKSCardAPI api(0);
        auto found = api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE);
        EXPECT_EQ(found->ReaderName, "Reader B");
        EXPECT_EQ(found->SelectedAID.GetAsHexString(), kDongleHex);
        EXPECT_EQ(found->Protocol, SCARD_PROTOCOL_T0);

        const auto connects = pcsc.calls("SCardConnect");
        ASSERT_EQ(connects.size(), 2u);
        EXPECT_EQ(connects[0].reader, "Reader A");
        EXPECT_EQ(connects[0].share_mode, static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE));
        EXPECT_EQ(connects[0].preferred_protocols,
                  static_cast<DWORD>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
        EXPECT_EQ(pcsc.disconnects(connects[0].card), 1u);
        EXPECT_EQ(pcsc.disconnects(connects[1].card), 0u);
    }
    expect_everything_released();
    EXPECT_EQ(pcsc.open_contexts(), 0u);
}

TEST_F(CardLookup, AnAidGivenAsBytesFindsTheCardItsHexFinds) {
    add_gp_card("Reader A");
    add_gp_card("Reader B", SCARD_PROTOCOL_T0, {kDongleAid});
    TKSCardAPI api(0);
    auto found =
        api.FindCardByAID(std::span<const std::uint8_t>(kDongleAid), SCARD_SHARE_EXCLUSIVE);
    EXPECT_EQ(found->ReaderName, "Reader B");
    EXPECT_EQ(found->SelectedAID.GetAsHexString(), kDongleHex);
    EXPECT_EQ(sent().back(), select_apdu(kDongleAid));
    EXPECT_EQ(pcsc.count("SCardConnect"), 2u);
}

// Every card of a search takes its profile from one parse of ./KSCard.ini: an edit the file gets
// while a search is under way reaches the next search only.
TEST_F(CardLookup, OneSearchReadsTheProfileFileOnceForAllItsCards) {
    const gp::testing::ScratchDir dir;
    const std::string egate_profile =
        "[3B759400006202020301]\r\nCardManagerAID=A0000000030000\r\nName=";
    dir.write("KSCard.ini", egate_profile + "before\r\n");
    add_gp_card("Reader A").responder = [&](const Bytes&) -> std::optional<Bytes> {
        dir.write("KSCard.ini", egate_profile + "after\r\n");
        return std::nullopt;
    };
    add_gp_card("Reader B", SCARD_PROTOCOL_T1, {kDongleAid});

    TKSCardAPI api(0);
    EXPECT_EQ(api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE)->CardDB.Name, "before");
    EXPECT_EQ(api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE)->CardDB.Name, "after");
}

struct ReaderFailure {
    const char* name;
    void (*arrange)(fakepcsc::FakeReader&);
    // Non-zero: the SELECT sent to the failing reader's card fails with it.
    LONG select_result = SCARD_S_SUCCESS;
};

class SearchSkipsAFailingReader : public LookupWithProfiles,
                                  public ::testing::WithParamInterface<ReaderFailure> {};

TEST_P(SearchSkipsAFailingReader, SilentlyAndFindsTheNext) {
    add_gp_card("Bad", SCARD_PROTOCOL_T1, {kDongleAid});
    GetParam().arrange(pcsc.reader("Bad"));
    if (GetParam().select_result != SCARD_S_SUCCESS)
        pcsc.fail_call("SCardTransmit", 1, GetParam().select_result);
    add_gp_card("Good", SCARD_PROTOCOL_T1, {kDongleAid});
    {
        TKSCardAPI api(0);
        EXPECT_EQ(api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE)->ReaderName, "Good");
    }
    expect_everything_released();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SearchSkipsAFailingReader,
    ::testing::Values(
        ReaderFailure{"no_card",
                      [](auto& r) { r.connect_result = static_cast<LONG>(SCARD_E_NO_SMARTCARD); }},
        ReaderFailure{
            "held_exclusively",
            [](auto& r) { r.connect_result = static_cast<LONG>(SCARD_E_SHARING_VIOLATION); }},
        ReaderFailure{"applet_missing",
                      [](auto& r) { r.card.rules.erase(r.card.rules.begin() + 1); }},
        ReaderFailure{"unknown_protocol", [](auto& r) { r.card.protocol = 4; }},
        ReaderFailure{"atr_unreadable",
                      [](auto& r) {
                          r.get_attrib_result = static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE);
                          r.status_result = static_cast<LONG>(SCARD_W_REMOVED_CARD);
                      }},
        ReaderFailure{"card_pulled_at_select",
                      [](auto& r) {
                          r.card.responder = [](const Bytes&) -> std::optional<Bytes> {
                              return Bytes{0x6F};
                          };
                      }},
        ReaderFailure{"service_gone_at_connect",
                      [](auto& r) { r.connect_result = static_cast<LONG>(SCARD_E_NO_SERVICE); }},
        ReaderFailure{"service_gone_at_select", [](auto&) {},
                      static_cast<LONG>(SCARD_E_NO_SERVICE)},
        ReaderFailure{"odd_hex_in_its_profile", [](auto& r) { r.card.atr = kOddHexAtr; }}),
    [](const auto& info) { return std::string(info.param.name); });

// What each reader of a search that finds nothing holds.
enum class Slot {
    kEmpty,                // no card in the reader
    kRemoved,              // the card left as the connection was made
    kNoApplet,             // a card that refuses the SELECT with 6A 82
    kHeld,                 // the dongle, held exclusively by another program
    kServiceGoneAtSelect,  // the PC/SC service stops when the SELECT goes out
    kOddHexProfile,        // the dongle, its ATR's section has an odd-length hex value
    kNoHexAliasProfile,    // the dongle, its alias section has a hex value without digits
    kShortAnswer,          // the dongle answers the SELECT with a single byte
    kUnknownProtocol,      // the dongle, connected with a protocol other than T=0 and T=1
};

struct NotFoundCase {
    const char* name;
    std::vector<Slot> readers;  // "Reader 1", "Reader 2", ... in this order
    std::string reasons;        // what follows the not-found text
    std::string causes;         // the kind of cause met in each reader, a word each
};

class SearchReportsWhyCardsWereSkipped : public LookupWithProfiles,
                                         public ::testing::WithParamInterface<NotFoundCase> {
protected:
    void arrange(const std::vector<Slot>& readers) {
        int transmits = 0;  // the SELECTs sent before this reader's, for scripting its failure
        for (std::size_t i = 0; i < readers.size(); ++i) {
            const std::string name = "Reader " + std::to_string(i + 1);
            switch (readers[i]) {
                case Slot::kEmpty:
                    pcsc.add_reader(name).card_present = false;
                    break;
                case Slot::kRemoved:
                    pcsc.add_reader(name).connect_result = static_cast<LONG>(SCARD_W_REMOVED_CARD);
                    break;
                case Slot::kNoApplet:
                    add_gp_card(name);
                    ++transmits;
                    break;
                case Slot::kHeld:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid});
                    pcsc.reader(name).connect_result = static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
                    break;
                case Slot::kServiceGoneAtSelect:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid});
                    pcsc.fail_call("SCardTransmit", ++transmits,
                                   static_cast<LONG>(SCARD_E_NO_SERVICE));
                    break;
                case Slot::kOddHexProfile:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid}).atr = kOddHexAtr;
                    break;
                case Slot::kNoHexAliasProfile:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid}).atr = kNoHexAtr;
                    break;
                case Slot::kShortAnswer:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid}).responder =
                        [](const Bytes&) -> std::optional<Bytes> { return Bytes{0x6F}; };
                    ++transmits;
                    break;
                case Slot::kUnknownProtocol:
                    add_gp_card(name, SCARD_PROTOCOL_T1, {kDongleAid}).protocol = 4;
                    break;
            }
        }
    }
};

TEST_P(SearchReportsWhyCardsWereSkipped, AfterTheNotFoundTextOneLineEach) {
    arrange(GetParam().readers);
    {
        TKSCardAPI api(0);
        try {
            api.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE);
            FAIL() << "no exception";
        } catch (const EKSCardAPIWinAPIException& e) {
            EXPECT_EQ(e.what(), kAidNotFound + dir.with_path(GetParam().reasons));
            EXPECT_EQ(e.ErrorCode, 0u);
        }
        std::string causes;
        for (std::size_t i = 0; i < api.causes().size(); ++i) {
            const ReaderCause& cause = api.causes()[i];
            EXPECT_EQ(cause.reader, "Reader " + std::to_string(i + 1));
            // A card that is not the one searched for is named by what it is.
            if (cause.kind == ReaderCause::Kind::OtherCard) {
                EXPECT_FALSE(cause.atr.empty());
            }
            causes += (causes.empty() ? "" : " ") + std::string(reader_cause_word(cause.kind));
        }
        EXPECT_EQ(causes, GetParam().causes);
        EXPECT_EQ(pcsc.count("SCardConnect"), GetParam().readers.size());
    }
    expect_everything_released();
}

INSTANTIATE_TEST_SUITE_P(
    Table, SearchReportsWhyCardsWereSkipped,
    ::testing::Values(
        NotFoundCase{
            "EmptyReadersGiveNoReason", {Slot::kEmpty, Slot::kRemoved}, "", "no_card no_card"},
        NotFoundCase{"CardsWithoutTheAppletGiveNoReason",
                     {Slot::kNoApplet, Slot::kEmpty, Slot::kNoApplet},
                     "",
                     "other_card no_card other_card"},
        NotFoundCase{"CardHeldByAnotherProgram",
                     {Slot::kNoApplet, Slot::kHeld},
                     held_reason("Reader 2"),
                     "other_card card_in_use"},
        NotFoundCase{"ServiceGoneAtTheSelect",
                     {Slot::kNoApplet, Slot::kServiceGoneAtSelect},
                     "\r\nReader \"Reader 2\": The Smart card resource manager is not running.",
                     "other_card reader_failed"},
        NotFoundCase{"SameReasonInTwoReadersGivesOneLine",
                     {Slot::kOddHexProfile, Slot::kEmpty, Slot::kOddHexProfile},
                     "\r\n" + kOddHexReason,
                     "profile_unusable no_card profile_unusable"},
        NotFoundCase{"SameFailureInTwoReadersNamesEach",
                     {Slot::kHeld, Slot::kHeld},
                     held_reason("Reader 1") + held_reason("Reader 2"),
                     "card_in_use card_in_use"},
        NotFoundCase{"MixedReasonsInReaderOrder",
                     {Slot::kShortAnswer, Slot::kEmpty, Slot::kNoHexAliasProfile, Slot::kNoApplet,
                      Slot::kHeld, Slot::kOddHexProfile, Slot::kUnknownProtocol,
                      Slot::kServiceGoneAtSelect, Slot::kNoHexAliasProfile},
                     "\r\nReader \"Reader 1\": Card returned less than 2 bytes of data, that "
                     "should not happen!\r\n" +
                         kNoHexReason + held_reason("Reader 5") + "\r\n" + kOddHexReason +
                         "\r\nReader \"Reader 7\": Protocols T0 and T1 are not supported for "
                         "Card in: Reader 7\r\nReader \"Reader 8\": The Smart card resource "
                         "manager is not running.",
                     "reader_failed no_card profile_unusable other_card card_in_use "
                     "profile_unusable reader_failed reader_failed profile_unusable"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardLookup, AReasonStaysOnItsLineWhateverItsTextHolds) {
    add_gp_card("Reader\r\nTwo").protocol = 4;
    TKSCardAPI api(0);
    try {
        api.FirstCard(SCARD_SHARE_EXCLUSIVE);
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_EQ(e.what(), kAidNotFound +
                                "\r\nReader \"Reader  Two\": Protocols T0 and T1 are not "
                                "supported for Card in: Reader  Two");
    }
}

TEST_F(CardLookup, AnyCardSearchSelectsTheCardManager) {
    add_gp_card("Reader R");
    TKSCardAPI api(0);
    auto found = api.FirstCard(SCARD_SHARE_SHARED);
    EXPECT_EQ(found->ReaderName, "Reader R");
    EXPECT_EQ(sent(), std::vector<Bytes>{select_apdu(kCardManagerAid)});
    EXPECT_EQ(pcsc.calls("SCardConnect")[0].share_mode, static_cast<DWORD>(SCARD_SHARE_SHARED));
}

struct IdSearch {
    const char* name;
    std::uint8_t type;
    std::string text;
    const char* not_found;
};

class SearchByCplc : public FakePcscTest, public ::testing::WithParamInterface<IdSearch> {};

TEST_P(SearchByCplc, ComparesTheHexOfTheCardsIdentifier) {
    add_gp_card("Reader A").answer(kGetCplc, concat(cplc_answer({1, 1, 1, 1}), kSw9000));
    add_gp_card("Reader B")
        .answer(kGetCplc, concat(cplc_answer({0xAB, 0xCD, 0xEF, 0x01}, {2, 3}, {4, 5}), kSw9000));
    {
        TKSCardAPI api(0);
        if (GetParam().not_found) {
            try {
                api.FindCard(GetParam().type, GetParam().text, SCARD_SHARE_EXCLUSIVE);
                FAIL() << "no exception";
            } catch (const EKSCardAPIWinAPIException& e) {
                EXPECT_STREQ(e.what(), GetParam().not_found);
            }
        } else {
            EXPECT_EQ(
                api.FindCard(GetParam().type, GetParam().text, SCARD_SHARE_EXCLUSIVE)->ReaderName,
                "Reader B");
        }
    }
    expect_everything_released();
}

INSTANTIATE_TEST_SUITE_P(Table, SearchByCplc,
                         ::testing::Values(IdSearch{"serial", 3, "ABCDEF01", nullptr},
                                           IdSearch{"hwid", 2, "ABCDEF0102030405", nullptr},
                                           IdSearch{"serial_case_counts", 3, "abcdef01",
                                                    "Card with specified Serial is not found"},
                                           IdSearch{"hwid_absent", 2, "0000000000000000",
                                                    "Card with specified HWID is not found"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SearchTypeNames, NameEachSearchInTheNotFoundText) {
    EXPECT_EQ(TKSCardAPI::SearchTypeName(0), "AID");
    EXPECT_EQ(TKSCardAPI::SearchTypeName(1), "AID");
    EXPECT_EQ(TKSCardAPI::SearchTypeName(2), "HWID");
    EXPECT_EQ(TKSCardAPI::SearchTypeName(3), "Serial");
    EXPECT_EQ(TKSCardAPI::SearchTypeName(200), "AID");
}

}  // namespace
}  // namespace qel::card
