#include <gtest/gtest.h>

#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "util/Exception.h"

namespace qel::card {
namespace {

using namespace qel::testing;

const std::string kDongleHex = "71656C3231010101";

class CardLookup : public FakePcscTest {};

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
    EXPECT_EQ(api.Readers->Count(), 0u);
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
    ASSERT_EQ(api.Readers->Count(), 1u);
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

struct ReaderFailure {
    const char* name;
    void (*arrange)(fakepcsc::FakeReader&);
};

class SearchSkipsAFailingReader : public FakePcscTest,
                                  public ::testing::WithParamInterface<ReaderFailure> {};

TEST_P(SearchSkipsAFailingReader, SilentlyAndFindsTheNext) {
    add_gp_card("Bad", SCARD_PROTOCOL_T1, {kDongleAid});
    GetParam().arrange(pcsc.reader("Bad"));
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
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardLookup, NoMatchingCardGivesTheNotFoundTextForAnyAndAidSearches) {
    pcsc.add_reader("Empty A").connect_result = static_cast<LONG>(SCARD_E_NO_SMARTCARD);
    pcsc.add_reader("Empty B").connect_result = static_cast<LONG>(SCARD_E_NO_SMARTCARD);
    TKSCardAPI api(0);
    for (auto search :
         {+[](TKSCardAPI& a) { a.FirstCard(SCARD_SHARE_EXCLUSIVE); },
          +[](TKSCardAPI& a) { a.FindCardByAID(kDongleHex, SCARD_SHARE_EXCLUSIVE); }}) {
        try {
            search(api);
            FAIL() << "no exception";
        } catch (const EKSCardAPIWinAPIException& e) {
            EXPECT_STREQ(e.what(), "Card with specified AID is not found");
        }
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
