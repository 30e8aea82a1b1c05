#include "card/WinSCard.h"

#include <dlfcn.h>

#include <memory>

namespace qel::card {

TWinSCardEntry<decltype(::SCardEstablishContext)> SCardEstablishContext{"SCardEstablishContext",
                                                                        "SCardEstablishContext"};
TWinSCardEntry<decltype(::SCardReleaseContext)> SCardReleaseContext{"SCardReleaseContext",
                                                                    "SCardReleaseContext"};
TWinSCardEntry<decltype(::SCardListReaderGroups)> SCardListReaderGroupsA{"SCardListReaderGroupsA",
                                                                         "SCardListReaderGroups"};
TWinSCardEntry<decltype(::SCardListReaders)> SCardListReadersA{"SCardListReadersA",
                                                               "SCardListReaders"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCBYTE, LPCVOID, DWORD, LPSTR, LPDWORD)> SCardListCardsA{
    "SCardListCardsA", "SCardListCards"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPVOID, LPDWORD)> SCardListInterfacesA{
    "SCardListInterfacesA", "SCardListInterfaces"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPVOID)> SCardGetProviderIdA{"SCardGetProviderIdA",
                                                                       "SCardGetProviderId"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, DWORD, LPSTR, LPDWORD)> SCardGetCardTypeProviderNameA{
    "SCardGetCardTypeProviderNameA", "SCardGetCardTypeProviderName"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardIntroduceReaderGroupA{"SCardIntroduceReaderGroupA",
                                                                      "SCardIntroduceReaderGroup"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetReaderGroupA{"SCardForgetReaderGroupA",
                                                                   "SCardForgetReaderGroup"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardIntroduceReaderA{"SCardIntroduceReaderA",
                                                                         "SCardIntroduceReader"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetReaderA{"SCardForgetReaderA",
                                                              "SCardForgetReader"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardAddReaderToGroupA{"SCardAddReaderToGroupA",
                                                                          "SCardAddReaderToGroup"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardRemoveReaderFromGroupA{
    "SCardRemoveReaderFromGroupA", "SCardRemoveReaderFromGroup"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCVOID, LPCVOID, DWORD, LPCBYTE, LPCBYTE, DWORD)>
    SCardIntroduceCardTypeA{"SCardIntroduceCardTypeA", "SCardIntroduceCardType"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, DWORD, LPCSTR)> SCardSetCardTypeProviderNameA{
    "SCardSetCardTypeProviderNameA", "SCardSetCardTypeProviderName"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetCardTypeA{"SCardForgetCardTypeA",
                                                                "SCardForgetCardType"};
TWinSCardEntry<decltype(::SCardFreeMemory)> SCardFreeMemory{"SCardFreeMemory", "SCardFreeMemory"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, SCARD_READERSTATE*, DWORD)> SCardLocateCardsA{
    "SCardLocateCardsA", "SCardLocateCards"};
TWinSCardEntry<decltype(::SCardGetStatusChange)> SCardGetStatusChangeA{"SCardGetStatusChangeA",
                                                                       "SCardGetStatusChange"};
TWinSCardEntry<decltype(::SCardCancel)> SCardCancel{"SCardCancel", "SCardCancel"};
TWinSCardEntry<decltype(::SCardConnect), true> SCardConnectA{"SCardConnectA", "SCardConnect"};
TWinSCardEntry<decltype(::SCardReconnect), true> SCardReconnect{"SCardReconnect", "SCardReconnect"};
TWinSCardEntry<decltype(::SCardDisconnect)> SCardDisconnect{"SCardDisconnect", "SCardDisconnect"};
TWinSCardEntry<decltype(::SCardBeginTransaction), true> SCardBeginTransaction{
    "SCardBeginTransaction", "SCardBeginTransaction"};
TWinSCardEntry<decltype(::SCardEndTransaction), true> SCardEndTransaction{"SCardEndTransaction",
                                                                          "SCardEndTransaction"};
TWinSCardEntry<decltype(::SCardStatus)> SCardStatusA{"SCardStatusA", "SCardStatus"};
TWinSCardEntry<decltype(::SCardTransmit), true> SCardTransmit{"SCardTransmit", "SCardTransmit"};
TWinSCardEntry<decltype(::SCardControl), true> SCardControl{"SCardControl", "SCardControl"};
TWinSCardEntry<decltype(::SCardGetAttrib)> SCardGetAttrib{"SCardGetAttrib", "SCardGetAttrib"};
TWinSCardEntry<decltype(::SCardSetAttrib)> SCardSetAttrib{"SCardSetAttrib", "SCardSetAttrib"};
TWinSCardEntry<decltype(::SCardIsValidContext)> SCardIsValidContext{"SCardIsValidContext",
                                                                    "SCardIsValidContext"};
TWinSCardEntry<LONG(SCARDCONTEXT, LPVOID, DWORD, SCARD_READERSTATE*, DWORD)> SCardLocateCardsByATRA{
    "SCardLocateCardsByATRA", "SCardLocateCardsByATR"};
TWinSCardEntry<void*()> SCardAccessStartedEvent{"SCardAccessStartedEvent",
                                                "SCardAccessStartedEvent"};
TWinSCardEntry<void()> SCardReleaseStartedEvent{"SCardReleaseStartedEvent",
                                                "SCardReleaseStartedEvent"};

namespace {

struct LibraryCloser {
    void operator()(void* handle) const noexcept {
        // Nothing useful can be done if the loader refuses to unload; the handle is gone anyway.
        dlclose(handle);
    }
};

// The one owner of the loaded library.
std::unique_ptr<void, LibraryCloser>& library() {
    static std::unique_ptr<void, LibraryCloser> handle;
    return handle;
}

const std::array<TWinSCardEntryBase*, kWinSCardEntryCount>& mutable_entries() {
    static const std::array<TWinSCardEntryBase*, kWinSCardEntryCount> entries{
        &SCardEstablishContext,
        &SCardReleaseContext,
        &SCardListReaderGroupsA,
        &SCardListReadersA,
        &SCardListCardsA,
        &SCardListInterfacesA,
        &SCardGetProviderIdA,
        &SCardGetCardTypeProviderNameA,
        &SCardIntroduceReaderGroupA,
        &SCardForgetReaderGroupA,
        &SCardIntroduceReaderA,
        &SCardForgetReaderA,
        &SCardAddReaderToGroupA,
        &SCardRemoveReaderFromGroupA,
        &SCardIntroduceCardTypeA,
        &SCardSetCardTypeProviderNameA,
        &SCardForgetCardTypeA,
        &SCardFreeMemory,
        &SCardLocateCardsA,
        &SCardGetStatusChangeA,
        &SCardCancel,
        &SCardConnectA,
        &SCardReconnect,
        &SCardDisconnect,
        &SCardBeginTransaction,
        &SCardEndTransaction,
        &SCardStatusA,
        &SCardTransmit,
        &SCardControl,
        &SCardGetAttrib,
        &SCardSetAttrib,
        &SCardIsValidContext,
        &SCardLocateCardsByATRA,
        &SCardAccessStartedEvent,
        &SCardReleaseStartedEvent,
    };
    return entries;
}

}  // namespace

const std::array<const TWinSCardEntryBase*, kWinSCardEntryCount>& WinSCardEntries() {
    static const std::array<const TWinSCardEntryBase*, kWinSCardEntryCount> entries = [] {
        std::array<const TWinSCardEntryBase*, kWinSCardEntryCount> all{};
        for (std::size_t i = 0; i < kWinSCardEntryCount; ++i) {
            all[i] = mutable_entries()[i];
        }
        return all;
    }();
    return entries;
}

bool LoadWinSCard(const char* path) {
    auto& handle = library();
    if (!handle) {
        for (auto* entry : mutable_entries()) {
            entry->m_raw = nullptr;
        }
        // A null path would hand back the running program itself.
        if (path == nullptr) {
            return false;
        }
        // RTLD_LOCAL: the library's symbols must not interpose on anybody else's.
        handle.reset(dlopen(path, RTLD_NOW | RTLD_LOCAL));
        if (!handle) {
            return false;
        }
    }
    for (auto* entry : mutable_entries()) {
        entry->m_raw = reinterpret_cast<TWinSCardEntryBase::RawFunction>(
            dlsym(handle.get(), entry->ExportName()));
    }
    return true;
}

void UnloadWinSCard() {
    auto& handle = library();
    if (!handle) {
        return;
    }
    for (auto* entry : mutable_entries()) {
        entry->m_raw = nullptr;
    }
    handle.reset();
}

}  // namespace qel::card
