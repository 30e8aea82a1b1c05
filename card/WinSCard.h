#pragma once

// The PC/SC binding: pcsc-lite is loaded at run time and every SCard function is reached through
// one callable entry of this namespace. Nothing in the system links libpcsclite.

#include <winscard.h>

#include <array>
#include <cstddef>
#include <type_traits>

#include "card/CardWait.h"

namespace qel::card {

// Send records of the two protocols. pcsc-lite's record is two DWORDs, 16 bytes on 64-bit
// Linux; the length field must say so or the library rejects the transmit.
inline constexpr SCARD_IO_REQUEST kSCardT0Pci{SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
inline constexpr SCARD_IO_REQUEST kSCardT1Pci{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};

// The card's ATR: attribute class 9 (ICC state) shifted left by 16, tag 0x0303.
inline constexpr DWORD kSCardAttrAtrString = 0x00090303;

inline constexpr const char* kPcscLibraryName = "libpcsclite.so.1";

class TWinSCardEntryBase {
public:
    constexpr TWinSCardEntryBase(const char* name, const char* export_name)
        : m_name(name), m_export_name(export_name) {}
    TWinSCardEntryBase(const TWinSCardEntryBase&) = delete;
    TWinSCardEntryBase& operator=(const TWinSCardEntryBase&) = delete;

    bool IsBound() const noexcept { return m_raw != nullptr; }
    // The name callers know the entry by, and the one pcsc-lite exports it under.
    const char* Name() const noexcept { return m_name; }
    const char* ExportName() const noexcept { return m_export_name; }

protected:
    using RawFunction = void (*)();
    RawFunction m_raw = nullptr;

private:
    friend bool LoadWinSCard(const char* path);
    friend void UnloadWinSCard();

    const char* m_name;
    const char* m_export_name;
};

// `WaitsOnCard`: the function lasts as long as a card takes to answer, and is called through the
// installed card waiter (CardWait.h).
template <class Signature, bool WaitsOnCard = false>
class TWinSCardEntry;

// An empty entry never calls through a null pointer: it answers as if the resource manager were
// absent, so a machine without pcsc-lite shows a readable error instead of crashing.
template <class R, class... Args, bool WaitsOnCard>
class TWinSCardEntry<R(Args...), WaitsOnCard> : public TWinSCardEntryBase {
public:
    using Function = R (*)(Args...);
    using TWinSCardEntryBase::TWinSCardEntryBase;

    R operator()(Args... args) const {
        if (m_raw == nullptr) {
            if constexpr (std::is_void_v<R>) {
                return;
            } else if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else {
                return static_cast<R>(SCARD_E_NO_SERVICE);
            }
        } else if constexpr (WaitsOnCard) {
            static_assert(std::is_same_v<R, LONG>);
            const auto function = reinterpret_cast<Function>(m_raw);
            LONG result = SCARD_F_UNKNOWN_ERROR;
            auto call = [&] { result = function(args...); };
            WaitForCard(call);
            return result;
        } else {
            return reinterpret_cast<Function>(m_raw)(args...);
        }
    }
};

// Loads the PC/SC library (pcsc-lite by default; tests pass another path) and binds every entry
// it exports. False when the library cannot be loaded: every entry is then empty. While a library
// is held, a further call binds again from it and ignores `path`.
bool LoadWinSCard(const char* path = kPcscLibraryName);

// Releases the library and empties every entry, so a later call fails cleanly instead of jumping
// into unmapped code; LoadWinSCard may then load the same or another library.
void UnloadWinSCard();

inline constexpr std::size_t kWinSCardEntryCount = 35;

// Every entry in binding order.
const std::array<const TWinSCardEntryBase*, kWinSCardEntryCount>& WinSCardEntries();

// The entries share their names with pcsc-lite's own declarations in the global namespace: call
// them qualified (qel::card::SCardTransmit) or from inside qel::card, never after a
// using-directive, which makes the name ambiguous. The global functions are never linked.
//
// Entries for the functions pcsc-lite declares carry its exact signatures. The others exist only
// on the platform the names come from; pcsc-lite never exports them, so they stay empty here
// (GUIDs appear as untyped pointers, the event handle as void*).
extern TWinSCardEntry<decltype(::SCardEstablishContext)> SCardEstablishContext;
extern TWinSCardEntry<decltype(::SCardReleaseContext)> SCardReleaseContext;
extern TWinSCardEntry<decltype(::SCardListReaderGroups)> SCardListReaderGroupsA;
extern TWinSCardEntry<decltype(::SCardListReaders)> SCardListReadersA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCBYTE, LPCVOID, DWORD, LPSTR, LPDWORD)> SCardListCardsA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPVOID, LPDWORD)> SCardListInterfacesA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPVOID)> SCardGetProviderIdA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, DWORD, LPSTR, LPDWORD)>
    SCardGetCardTypeProviderNameA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardIntroduceReaderGroupA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetReaderGroupA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardIntroduceReaderA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetReaderA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardAddReaderToGroupA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCSTR)> SCardRemoveReaderFromGroupA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, LPCVOID, LPCVOID, DWORD, LPCBYTE, LPCBYTE, DWORD)>
    SCardIntroduceCardTypeA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, DWORD, LPCSTR)> SCardSetCardTypeProviderNameA;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR)> SCardForgetCardTypeA;
extern TWinSCardEntry<decltype(::SCardFreeMemory)> SCardFreeMemory;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPCSTR, SCARD_READERSTATE*, DWORD)> SCardLocateCardsA;
extern TWinSCardEntry<decltype(::SCardGetStatusChange)> SCardGetStatusChangeA;
extern TWinSCardEntry<decltype(::SCardCancel)> SCardCancel;
extern TWinSCardEntry<decltype(::SCardConnect), true> SCardConnectA;
extern TWinSCardEntry<decltype(::SCardReconnect), true> SCardReconnect;
extern TWinSCardEntry<decltype(::SCardDisconnect)> SCardDisconnect;
extern TWinSCardEntry<decltype(::SCardBeginTransaction), true> SCardBeginTransaction;
extern TWinSCardEntry<decltype(::SCardEndTransaction), true> SCardEndTransaction;
extern TWinSCardEntry<decltype(::SCardStatus)> SCardStatusA;
extern TWinSCardEntry<decltype(::SCardTransmit), true> SCardTransmit;
extern TWinSCardEntry<decltype(::SCardControl), true> SCardControl;
extern TWinSCardEntry<decltype(::SCardGetAttrib)> SCardGetAttrib;
extern TWinSCardEntry<decltype(::SCardSetAttrib)> SCardSetAttrib;
extern TWinSCardEntry<decltype(::SCardIsValidContext)> SCardIsValidContext;
extern TWinSCardEntry<LONG(SCARDCONTEXT, LPVOID, DWORD, SCARD_READERSTATE*, DWORD)>
    SCardLocateCardsByATRA;
extern TWinSCardEntry<void*()> SCardAccessStartedEvent;
extern TWinSCardEntry<void()> SCardReleaseStartedEvent;

}  // namespace qel::card
