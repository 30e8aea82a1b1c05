#include <gtest/gtest.h>

#include <vector>

#include "card/KSCardAPIReaders.h"
#include "tests/support/fake_pcsc_fixture.h"

namespace qel::card {
namespace {

using namespace qel::testing;

class ReaderCards : public FakePcscTest {
protected:
    void SetUp() override {
        FakePcscTest::SetUp();
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context),
                  SCARD_S_SUCCESS);
    }
    SCARDCONTEXT context = 0;
};

TEST_F(ReaderCards, TellEachReadersCardAndItsWholeAtrInTheListsOrderWithoutWaiting) {
    pcsc.add_reader("Empty").card_present = false;
    pcsc.add_reader("Card").card.atr = kEgateAtr;
    // pcsc-lite's longest ATR fills its field to the last byte.
    Bytes longest(MAX_ATR_SIZE);
    for (std::size_t i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<std::uint8_t>(0x3B + i);
    pcsc.add_reader("Longest").card.atr = longest;
    pcsc.add_reader("Gone");
    const TKSCardAPIReadersCollection readers(context);
    pcsc.remove_reader("Gone");

    EXPECT_EQ(reader_cards(readers),
              (std::vector<ReaderCard>{{false, {}}, {true, kEgateAtr}, {true, longest}, {}}));
    ASSERT_EQ(pcsc.count("SCardGetStatusChange"), 1u);
    EXPECT_EQ(pcsc.calls("SCardGetStatusChange")[0].buffer_size, 0u) << "the timeout";
}

TEST_F(ReaderCards, FailureOfTheServiceRaisesWithItsCode) {
    pcsc.add_reader("Card");
    const TKSCardAPIReadersCollection readers(context);
    pcsc.fail_always("SCardGetStatusChange", static_cast<LONG>(SCARD_E_NO_SERVICE));
    try {
        reader_cards(readers);
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_STREQ(e.what(),
                     "Error when listing readers\r\nSmartCard API error #2148532253\r\n"
                     "The Smart card resource manager is not running.");
        EXPECT_EQ(e.failure(), PcscFailure::ServiceGone);
    }
}

}  // namespace
}  // namespace qel::card
