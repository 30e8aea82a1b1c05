// Reader lookup and the session facade with cards in both of vpcd's readers: which card each
// search picks, that a card held by another program is skipped without a wait and named when no
// other card is found, and that every card handle the search opened is given back.

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "card/KSCardAPI.h"
#include "card/UEKSCard.h"
#include "tests/e2e/card/card_e2e.h"
#include "tests/e2e/support/exclusive_holder.h"
#include "tests/gp/test_card_db_support.h"

namespace qel::e2e {
namespace {

using card::TKSCardAPI;

const util::ByteString kDongleAid("qel21\x01\x01\x01", 8);
const std::string kSelectDongle = "00A4040008" + kDongleAidHex;
const std::string kSelectCardManager = "00A4040007" + kCardManagerAidHex;
const std::string kAidNotFound = "Card with specified AID is not found";

// A card profile file whose section for the T=0 dongle's ATR has a key one hex digit short.
const std::string kOddHexProfiles = "[" + kAtrT0Hex + "]\r\nCardManagerAID=" + kCardManagerAidHex +
                                    "\r\nAUTHKey=404142434445464748494A4B4C4D4E4\r\n";
// "{dir}" stands for the directory of the search, the current one.
const std::string kOddHexReason =
    "\r\n{dir}/KSCard.ini [" + kAtrT0Hex + "] AUTHKey: odd number of hex digits";

constexpr auto kLookupBound = std::chrono::seconds(5);

class LookupE2e : public CardE2eTest {
protected:
    // Starts the cards of a case; a reader without options stays empty.
    void start_cards(const std::array<std::optional<Options>, kReaderCount>& cards) {
        for (int reader = 0; reader < kReaderCount; ++reader) {
            if (cards[reader])
                m_cards[reader] = &start_card(*cards[reader], reader);
        }
    }
    const VirtualCard* card_in(int reader) const { return m_cards[reader]; }

    // Every reader that holds a card can be taken exclusively: nobody kept a handle.
    void expect_all_readers_free() const {
        for (int reader = 0; reader < kReaderCount; ++reader) {
            if (m_cards[reader] != nullptr) {
                EXPECT_TRUE(reader_is_free(kReaderNames[reader]));
            }
        }
    }

private:
    std::array<VirtualCard*, kReaderCount> m_cards{};
};

TEST_F(LookupE2e, ReadersAreListedAsPcscLiteNamesThem) {
    TKSCardAPI api(SCARD_SCOPE_USER);
    ASSERT_NE(api.Readers, nullptr);
    ASSERT_EQ(api.Readers->size(), 2u);
    EXPECT_EQ(api.Readers->Items(0).Name, kReaderNames[0]);
    EXPECT_EQ(api.Readers->Items(1).Name, kReaderNames[1]);
}

// --- Searches ----------------------------------------------------------------------------------

struct SearchCase {
    const char* name;
    std::array<std::optional<Options>, kReaderCount> cards;
    std::uint8_t search_type;
    std::string text;
    int found_in;            // -1: not found
    std::string message;     // when not found
    std::string profiles{};  // non-empty: ./KSCard.ini of the search
};

class LookupSearch : public LookupE2e, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(LookupSearch, SearchPicksTheFirstMatchingCardAndReleasesTheOthers) {
    const SearchCase& c = GetParam();
    std::optional<gp::testing::ScratchDir> dir;
    if (!c.profiles.empty())
        dir.emplace().write("KSCard.ini", c.profiles);
    start_cards(c.cards);
    TKSCardAPI api(SCARD_SCOPE_USER);

    if (c.found_in < 0) {
        EXPECT_EQ(failure_text([&] { api.FindCard(c.search_type, c.text, SCARD_SHARE_EXCLUSIVE); }),
                  dir ? dir->with_path(c.message) : c.message);
        expect_all_readers_free();
        return;
    }

    auto card = api.FindCard(c.search_type, c.text, SCARD_SHARE_EXCLUSIVE);
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->ReaderName, kReaderNames[c.found_in]);
    EXPECT_FALSE(reader_is_free(kReaderNames[c.found_in])) << "the card is not held exclusively";
    const int other = 1 - c.found_in;
    if (card_in(other) != nullptr) {
        EXPECT_TRUE(reader_is_free(kReaderNames[other]));
    }
    // The card that came back answers what it was chosen for.
    if (c.search_type == card::kByAID) {
        EXPECT_EQ(card->SelectedAID.GetAsHexString(), c.text);
        util::ByteArray response;
        card->SendAPDU(0x40, 0x10, 0x62, kP2Serial, response, 255, util::ByteString(1, '\xFF'));
        EXPECT_EQ(hex(response).substr(0, 4), c.found_in == 0 ? "AAAA" : "BBBB");
    }
    card.reset();
    expect_all_readers_free();
}

// Serials and CPLC serials tell the two readers' cards apart.
const Options kFirst{"--serial", "AAAA", "--cplc-serial", "11111111"};
const Options kSecond{"--serial", "BBBB", "--cplc-serial", "22222222"};
Options no_applet(Options options) {
    options.push_back("--no-applet");
    return options;
}
Options on_t1(Options options) {
    options.push_back("--t1");
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    TwoReaders, LookupSearch,
    ::testing::Values(
        SearchCase{"AidInTheSecondReader",
                   {no_applet(kFirst), kSecond},
                   card::kByAID,
                   kDongleAidHex,
                   1,
                   ""},
        SearchCase{"AidInTheSecondReaderT1",
                   {on_t1(no_applet(kFirst)), on_t1(kSecond)},
                   card::kByAID,
                   kDongleAidHex,
                   1,
                   ""},
        SearchCase{"AidInBothTakesTheFirst", {kFirst, kSecond}, card::kByAID, kDongleAidHex, 0, ""},
        SearchCase{
            "AidBehindAnEmptyReader", {std::nullopt, kSecond}, card::kByAID, kDongleAidHex, 1, ""},
        SearchCase{"AidInNeither",
                   {no_applet(kFirst), no_applet(kSecond)},
                   card::kByAID,
                   kDongleAidHex,
                   -1,
                   kAidNotFound},
        SearchCase{"AnyCardTakesTheFirst", {no_applet(kFirst), kSecond}, card::kAnyCard, "", 0, ""},
        SearchCase{"AnyCardBehindAnEmptyReader",
                   {std::nullopt, on_t1(kSecond)},
                   card::kAnyCard,
                   "",
                   1,
                   ""},
        SearchCase{"AnyCardWithoutCards",
                   {std::nullopt, std::nullopt},
                   card::kAnyCard,
                   "",
                   -1,
                   kAidNotFound},
        SearchCase{
            "SerialInTheSecondReader", {kFirst, kSecond}, card::kBySerial, "22222222", 1, ""},
        SearchCase{
            "SerialInTheFirstReader", {kFirst, on_t1(kSecond)}, card::kBySerial, "11111111", 0, ""},
        SearchCase{"SerialInNeither",
                   {kFirst, kSecond},
                   card::kBySerial,
                   "33333333",
                   -1,
                   "Card with specified Serial is not found"},
        SearchCase{"SerialComparedAsUpperCaseHex",
                   {Options{"--cplc-serial", "AABBCCDD"}, std::nullopt},
                   card::kBySerial,
                   "aabbccdd",
                   -1,
                   "Card with specified Serial is not found"},
        SearchCase{"HwidInTheSecondReader",
                   {kFirst, kSecond},
                   card::kByHWID,
                   "22222222" + kCplcBatchAndModule,
                   1,
                   ""},
        SearchCase{"HwidIsNotTheSerial",
                   {kFirst, kSecond},
                   card::kByHWID,
                   "22222222",
                   -1,
                   "Card with specified HWID is not found"},
        SearchCase{"OddHexInTheDonglesProfileIsNamed",
                   {kFirst, std::nullopt},
                   card::kByAID,
                   kDongleAidHex,
                   -1,
                   kAidNotFound + kOddHexReason,
                   kOddHexProfiles},
        SearchCase{"OddHexInTwoDonglesProfileIsNamedOnce",
                   {kFirst, kSecond},
                   card::kByAID,
                   kDongleAidHex,
                   -1,
                   kAidNotFound + kOddHexReason,
                   kOddHexProfiles},
        SearchCase{"DongleWithAnotherAtrIsFoundPastTheOddHexProfile",
                   {kFirst, on_t1(kSecond)},
                   card::kByAID,
                   kDongleAidHex,
                   1,
                   "",
                   kOddHexProfiles}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LookupE2e, AnyCardSearchSelectsTheCardManager) {
    start_cards({kFirst, std::nullopt});
    TKSCardAPI api(SCARD_SCOPE_USER);
    const auto card = api.FirstCard(SCARD_SHARE_EXCLUSIVE);
    EXPECT_EQ(card->ReaderName, kReaderNames[0]);
    EXPECT_EQ(commands_received(*card_in(0)), std::vector<std::string>{kSelectCardManager});
}

// --- A card held by another program ------------------------------------------------------------

class LookupHeld : public LookupE2e,
                   public ::testing::WithParamInterface<std::tuple<const char*, Options, int>> {};

TEST_P(LookupHeld, CardHeldElsewhereIsSkippedAtOnce) {
    const auto& [name, second, found_in] = GetParam();
    start_cards({kFirst, second});
    ExclusiveHolderProcess holder(kReaderNames[0]);

    // What pcsc-lite answers a connection beside the holder; the search names it only when it
    // finds no other dongle.
    try {
        const CardConnection other(pcsc(), kReaderNames[0], SCARD_SHARE_EXCLUSIVE);
        ADD_FAILURE() << "connected beside an exclusive holder";
    } catch (const PcscError& e) {
        EXPECT_EQ(pcsc_code_text(e.code()), pcsc_code_text(SCARD_E_SHARING_VIOLATION));
    }

    TKSCardAPI api(SCARD_SCOPE_USER);
    std::string outcome;
    run_bounded(
        kLookupBound,
        [&] {
            try {
                outcome = api.FindCardByAID(kDongleAidHex, SCARD_SHARE_EXCLUSIVE)->ReaderName;
            } catch (const std::exception& e) {
                outcome = e.what();
            }
        },
        [&] { holder.release(); });
    EXPECT_EQ(outcome, found_in < 0
                           ? kAidNotFound + "\r\nThe card in reader \"" + kReaderNames[0] +
                                 "\" is in use by another program, or still busy with a command "
                                 "that did not finish (then unplug it and plug it in again)"
                           : kReaderNames[found_in]);
    EXPECT_TRUE(reader_is_free(kReaderNames[1]));
    EXPECT_FALSE(reader_is_free(kReaderNames[0])) << "the holder lost the card";
}

INSTANTIATE_TEST_SUITE_P(TwoReaders, LookupHeld,
                         ::testing::Values(std::make_tuple("NoOtherDongle", no_applet(kSecond), -1),
                                           std::make_tuple("OtherDongleInTheSecondReader", kSecond,
                                                           1)),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

// --- The session facade ------------------------------------------------------------------------

class FacadeE2e : public LookupE2e, public ::testing::WithParamInterface<bool> {};

TEST_P(FacadeE2e, ConnectsTheDongleAndReadsItsSerial) {
    const bool t1 = GetParam();
    start_cards({with_protocol(no_applet(kFirst), t1),
                 with_protocol({"--serial", "8877665544332211"}, t1)});
    {
        card::t_ekscard session(true);
        ASSERT_TRUE(session.connect_by_aid(kDongleAid)) << session.get_last_error();
        EXPECT_EQ(session.get_last_error(), "");
        EXPECT_EQ(session.card->ReaderName, kReaderNames[1]);

        util::ByteString answer = "stale";
        session.send_command(0x40, 0x10, 0x62, kP2Serial, 4, "", answer);
        EXPECT_EQ(hex(util::ByteArray(answer.begin(), answer.end())), "88776655");
        session.send_command(0x40, 0x10, 0x62, kP2Firmware, 255, "", answer);
        EXPECT_EQ(hex(util::ByteArray(answer.begin(), answer.end())), kDefaultFirmware);

        std::vector<std::string> expected{kSelectDongle, "4010621201FF"};
        if (!t1)
            expected.push_back("00C0000008");
        expected.push_back("401062B201FF");
        if (!t1)
            expected.push_back("00C0000002");
        EXPECT_EQ(commands_received(*card_in(1)), expected);

        // The lookup let the first reader's card go; the dongle is held for this session alone.
        EXPECT_TRUE(reader_is_free(kReaderNames[0]));
        try {
            const CardConnection beside(pcsc(), kReaderNames[1]);
            ADD_FAILURE() << "a shared connection got in beside the session";
        } catch (const PcscError& e) {
            EXPECT_EQ(pcsc_code_text(e.code()), pcsc_code_text(SCARD_E_SHARING_VIOLATION));
        }
    }
    expect_all_readers_free();
}

TEST_P(FacadeE2e, NoDongleLeavesTheTextAndNoHandle) {
    const bool t1 = GetParam();
    start_cards({with_protocol(no_applet(kFirst), t1), with_protocol(no_applet(kSecond), t1)});
    card::t_ekscard session(true);
    EXPECT_FALSE(session.connect_by_aid(kDongleAid));
    EXPECT_FALSE(session.is_connected());
    EXPECT_EQ(session.get_last_error(), kAidNotFound);
    util::ByteString answer = "stale";
    session.send_command(0x40, 0x10, 0x62, kP2Serial, 4, "", answer);
    EXPECT_EQ(answer, "");
    // Released at the failure already, not only when the session goes.
    expect_all_readers_free();
}

INSTANTIATE_TEST_SUITE_P(Protocols, FacadeE2e, ::testing::Bool(),
                         [](const auto& info) { return protocol_suffix(info.param).substr(1); });

}  // namespace
}  // namespace qel::e2e
