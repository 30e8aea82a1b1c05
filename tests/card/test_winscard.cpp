#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "card/WinSCard.h"
#include "tests/fakepcsc/fake_pcsc.h"

namespace qel::card {
namespace {

using Names = std::set<std::string>;

// Entries whose functions pcsc-lite exports (without the "A" suffix where there is one).
const Names kPcscLiteEntries{
    "SCardEstablishContext", "SCardReleaseContext",   "SCardListReaderGroupsA",
    "SCardListReadersA",     "SCardFreeMemory",       "SCardGetStatusChangeA",
    "SCardCancel",           "SCardConnectA",         "SCardReconnect",
    "SCardDisconnect",       "SCardBeginTransaction", "SCardEndTransaction",
    "SCardStatusA",          "SCardTransmit",         "SCardControl",
    "SCardGetAttrib",        "SCardSetAttrib",        "SCardIsValidContext"};

Names without(Names names, const Names& missing) {
    for (const auto& m : missing) {
        names.erase(m);
    }
    return names;
}

Names bound_entries() {
    Names bound;
    for (const auto* entry : winscard_entries()) {
        if (entry->is_bound()) {
            bound.insert(entry->name());
        }
    }
    return bound;
}

class Binding : public ::testing::Test {
protected:
    void TearDown() override { UnloadWinSCard(); }
};

TEST_F(Binding, EntriesAreBoundInTheDocumentedOrder) {
    const std::vector<std::string> expected{"SCardEstablishContext",
                                            "SCardReleaseContext",
                                            "SCardListReaderGroupsA",
                                            "SCardListReadersA",
                                            "SCardListCardsA",
                                            "SCardListInterfacesA",
                                            "SCardGetProviderIdA",
                                            "SCardGetCardTypeProviderNameA",
                                            "SCardIntroduceReaderGroupA",
                                            "SCardForgetReaderGroupA",
                                            "SCardIntroduceReaderA",
                                            "SCardForgetReaderA",
                                            "SCardAddReaderToGroupA",
                                            "SCardRemoveReaderFromGroupA",
                                            "SCardIntroduceCardTypeA",
                                            "SCardSetCardTypeProviderNameA",
                                            "SCardForgetCardTypeA",
                                            "SCardFreeMemory",
                                            "SCardLocateCardsA",
                                            "SCardGetStatusChangeA",
                                            "SCardCancel",
                                            "SCardConnectA",
                                            "SCardReconnect",
                                            "SCardDisconnect",
                                            "SCardBeginTransaction",
                                            "SCardEndTransaction",
                                            "SCardStatusA",
                                            "SCardTransmit",
                                            "SCardControl",
                                            "SCardGetAttrib",
                                            "SCardSetAttrib",
                                            "SCardIsValidContext",
                                            "SCardLocateCardsByATRA",
                                            "SCardAccessStartedEvent",
                                            "SCardReleaseStartedEvent"};
    std::vector<std::string> names;
    for (const auto* entry : winscard_entries()) {
        names.push_back(entry->name());
        // pcsc-lite exports the narrow functions without the "A" suffix.
        std::string exported = entry->name();
        if (exported.back() == 'A') {
            exported.pop_back();
        }
        EXPECT_EQ(entry->export_name(), exported);
        // The column the diagnosis tells a damaged library by: true exactly for what
        // pcsc-lite exports, as the installed library's binding below shows.
        EXPECT_EQ(entry->pcsc_lite_has(), kPcscLiteEntries.count(entry->name()) == 1)
            << entry->name();
    }
    EXPECT_EQ(names, expected);
}

struct LibraryCase {
    const char* name;
    const char* path;
    Names bound;
};

class BindingOfLibrary : public Binding, public ::testing::WithParamInterface<LibraryCase> {};

TEST_P(BindingOfLibrary, BindsExactlyTheEntriesTheLibraryExports) {
    ASSERT_TRUE(LoadWinSCard(GetParam().path));
    EXPECT_EQ(bound_entries(), GetParam().bound);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, BindingOfLibrary,
    ::testing::Values(LibraryCase{"fake", FAKE_PCSC_LIBRARY, kPcscLiteEntries},
                      LibraryCase{"fake_lacking_exports", FAKE_PCSC_PARTIAL_LIBRARY,
                                  without(kPcscLiteEntries, {"SCardGetAttrib", "SCardCancel"})},
                      LibraryCase{"installed_pcsclite", kPcscLibraryName, kPcscLiteEntries}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Binding, MissingLibraryReportsFailureAndLeavesEveryEntryEmpty) {
    EXPECT_FALSE(LoadWinSCard("/nonexistent/libpcsclite.so.1"));
    EXPECT_TRUE(bound_entries().empty());
    SCARDCONTEXT context = 77;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context),
              SCARD_E_NO_SERVICE);
    EXPECT_EQ(context, 77);
}

TEST_F(Binding, EmptyEntryAnswersServiceNotRunningWithoutCallingAnything) {
    auto& partial = fakepcsc::state(FAKE_PCSC_PARTIAL_LIBRARY);
    partial.reset();
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_PARTIAL_LIBRARY));

    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    DWORD length = SCARD_AUTOALLOCATE;
    LPBYTE buffer = nullptr;
    EXPECT_EQ(SCardGetAttrib(1, kSCardAttrAtrString, reinterpret_cast<LPBYTE>(&buffer), &length),
              static_cast<LONG>(0x8010001D));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(SCardCancel(context), static_cast<LONG>(0x8010001D));
    // Entries of other return types stay harmless too.
    EXPECT_EQ(SCardAccessStartedEvent(), nullptr);
    SCardReleaseStartedEvent();

    ASSERT_EQ(partial.log.size(), 1u);
    EXPECT_EQ(partial.log[0].function, "SCardEstablishContext");
}

TEST_F(Binding, CallsReachTheLoadedLibraryWithTheirArguments) {
    auto& fake = fakepcsc::state();
    fake.reset();
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context),
              SCARD_S_SUCCESS);
    ASSERT_EQ(fake.count("SCardEstablishContext"), 1u);
    EXPECT_EQ(fake.log[0].scope, static_cast<DWORD>(SCARD_SCOPE_SYSTEM));
    EXPECT_EQ(fake.log[0].context, context);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.open_contexts(), 0u);
}

TEST_F(Binding, UnloadEmptiesEveryEntryAndAnotherLibraryCanFollow) {
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
    UnloadWinSCard();
    EXPECT_TRUE(bound_entries().empty());
    SCARDCONTEXT context = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context),
              SCARD_E_NO_SERVICE);

    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_PARTIAL_LIBRARY));
    EXPECT_EQ(bound_entries(), without(kPcscLiteEntries, {"SCardGetAttrib", "SCardCancel"}));
}

TEST_F(Binding, LoadingAgainKeepsTheLibraryAlreadyHeld) {
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
    EXPECT_TRUE(LoadWinSCard(FAKE_PCSC_PARTIAL_LIBRARY));
    EXPECT_EQ(bound_entries(), kPcscLiteEntries);
}

// Counts what reaches it, and runs each call in place.
class RecordingWaiter final : public CardWaiter {
public:
    void wait(void (*call)(void*), void* context) override {
        taken.push_back("card");
        call(context);
    }
    void wait_for_service(void (*call)(void*), void* context, bool endless) override {
        taken.push_back(endless ? "endless" : "service");
        call(context);
    }
    std::vector<std::string> taken;
};

// A call that may never come back reaches the waiter once, as what it waits on; the cancel that
// ends a wait, and what never leaves the process, do not.
TEST_F(Binding, CallsThatWaitReachTheWaiterOnceAsWhatTheyWaitOn) {
    fakepcsc::state().reset();
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
    RecordingWaiter waiter;
    set_card_waiter(&waiter);
    SCARDCONTEXT context = 0;
    SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    SCardConnectA(context, "Reader", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol);
    SCardCancel(context);
    SCardIsValidContext(context);
    SCARD_READERSTATE state{};
    state.szReader = "Reader";
    // A wait made endless by its caller: the entry inside it is not waited for again.
    auto endless = [&] { SCardGetStatusChangeA(context, 0, &state, 1); };
    wait_for_service(endless, true);
    SCardReleaseContext(context);
    set_card_waiter(nullptr);
    EXPECT_EQ(waiter.taken, (std::vector<std::string>{"service", "card", "endless", "service"}));
    EXPECT_FALSE(inside_waited_call());
}

}  // namespace
}  // namespace qel::card
