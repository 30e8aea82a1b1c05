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

// Whether pcsc-lite has the function at all. The Windows-only ones (group, card-type and provider
// management, card location, the started event) are never exported on Linux and nothing calls
// them; a library that lacks one of the others is not pcsc-lite's, or is damaged.
enum class Exported { PcscLite, WindowsOnly };

class WinSCardEntryBase {
public:
    constexpr WinSCardEntryBase(const char* name, const char* export_name, Exported exported)
        : m_name(name), m_export_name(export_name), m_exported(exported) {}
    WinSCardEntryBase(const WinSCardEntryBase&) = delete;
    WinSCardEntryBase& operator=(const WinSCardEntryBase&) = delete;

    bool is_bound() const noexcept { return m_raw != nullptr; }
    // The name callers know the entry by, and the one pcsc-lite exports it under.
    const char* name() const noexcept { return m_name; }
    const char* export_name() const noexcept { return m_export_name; }
    bool pcsc_lite_has() const noexcept { return m_exported == Exported::PcscLite; }

protected:
    using RawFunction = void (*)();
    RawFunction m_raw = nullptr;

private:
    friend bool LoadWinSCard(const char* path);
    friend void UnloadWinSCard();

    const char* m_name;
    const char* m_export_name;
    Exported m_exported;
};

// What a function waits on, and so how it is called (CardWait.h): `Card`, as long as a card takes
// to answer, through the waiter's wait; `Service`, as long as the PC/SC service takes, through its
// wait_for_service; `None`, nothing outside the process (or, for SCardCancel, nothing that may be
// waited for: it is how a wait is ended, from any thread).
enum class Waits { None, Card, Service };

template <class Signature, Waits WaitsOn = Waits::None>
class WinSCardEntry;

// An empty entry never calls through a null pointer: it answers as if the resource manager were
// absent, so a machine without pcsc-lite shows a readable error instead of crashing.
template <class R, class... Args, Waits WaitsOn>
class WinSCardEntry<R(Args...), WaitsOn> : public WinSCardEntryBase {
public:
    using Function = R (*)(Args...);
    using WinSCardEntryBase::WinSCardEntryBase;

    R operator()(Args... args) const {
        if (m_raw == nullptr) {
            if constexpr (std::is_void_v<R>) {
                return;
            } else if constexpr (std::is_pointer_v<R>) {
                return nullptr;
            } else {
                return static_cast<R>(SCARD_E_NO_SERVICE);
            }
        } else if constexpr (WaitsOn != Waits::None) {
            static_assert(std::is_same_v<R, LONG>);
            const auto function = reinterpret_cast<Function>(m_raw);
            LONG result = SCARD_F_UNKNOWN_ERROR;
            auto call = [&] { result = function(args...); };
            if constexpr (WaitsOn == Waits::Card)
                wait_for_card(call);
            else
                wait_for_service(call);
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

// The one list of the binding's entries, in binding order: X(name, export name, what it waits
// on, signature, whether pcsc-lite has it). Declarations, definitions and the binding order are
// all made from it. The name is the one callers know the entry by; pcsc-lite exports the narrow
// functions without the "A".
//
// Entries for the functions pcsc-lite declares carry its exact signatures. The WindowsOnly ones
// exist only on the platform the names come from; pcsc-lite never exports them, so they stay
// empty here (GUIDs appear as untyped pointers, the event handle as void*).
#define QEL_WINSCARD_ENTRIES(X)                                                                    \
    X(SCardEstablishContext, "SCardEstablishContext", Service, decltype(::SCardEstablishContext),  \
      PcscLite)                                                                                    \
    X(SCardReleaseContext, "SCardReleaseContext", Service, decltype(::SCardReleaseContext),        \
      PcscLite)                                                                                    \
    X(SCardListReaderGroupsA, "SCardListReaderGroups", None, decltype(::SCardListReaderGroups),    \
      PcscLite)                                                                                    \
    X(SCardListReadersA, "SCardListReaders", Service, decltype(::SCardListReaders), PcscLite)      \
    X(SCardListCardsA, "SCardListCards", None,                                                     \
      LONG(SCARDCONTEXT, LPCBYTE, LPCVOID, DWORD, LPSTR, LPDWORD), WindowsOnly)                    \
    X(SCardListInterfacesA, "SCardListInterfaces", None,                                           \
      LONG(SCARDCONTEXT, LPCSTR, LPVOID, LPDWORD), WindowsOnly)                                    \
    X(SCardGetProviderIdA, "SCardGetProviderId", None, LONG(SCARDCONTEXT, LPCSTR, LPVOID),         \
      WindowsOnly)                                                                                 \
    X(SCardGetCardTypeProviderNameA, "SCardGetCardTypeProviderName", None,                         \
      LONG(SCARDCONTEXT, LPCSTR, DWORD, LPSTR, LPDWORD), WindowsOnly)                              \
    X(SCardIntroduceReaderGroupA, "SCardIntroduceReaderGroup", None, LONG(SCARDCONTEXT, LPCSTR),   \
      WindowsOnly)                                                                                 \
    X(SCardForgetReaderGroupA, "SCardForgetReaderGroup", None, LONG(SCARDCONTEXT, LPCSTR),         \
      WindowsOnly)                                                                                 \
    X(SCardIntroduceReaderA, "SCardIntroduceReader", None, LONG(SCARDCONTEXT, LPCSTR, LPCSTR),     \
      WindowsOnly)                                                                                 \
    X(SCardForgetReaderA, "SCardForgetReader", None, LONG(SCARDCONTEXT, LPCSTR), WindowsOnly)      \
    X(SCardAddReaderToGroupA, "SCardAddReaderToGroup", None, LONG(SCARDCONTEXT, LPCSTR, LPCSTR),   \
      WindowsOnly)                                                                                 \
    X(SCardRemoveReaderFromGroupA, "SCardRemoveReaderFromGroup", None,                             \
      LONG(SCARDCONTEXT, LPCSTR, LPCSTR), WindowsOnly)                                             \
    X(SCardIntroduceCardTypeA, "SCardIntroduceCardType", None,                                     \
      LONG(SCARDCONTEXT, LPCSTR, LPCVOID, LPCVOID, DWORD, LPCBYTE, LPCBYTE, DWORD), WindowsOnly)   \
    X(SCardSetCardTypeProviderNameA, "SCardSetCardTypeProviderName", None,                         \
      LONG(SCARDCONTEXT, LPCSTR, DWORD, LPCSTR), WindowsOnly)                                      \
    X(SCardForgetCardTypeA, "SCardForgetCardType", None, LONG(SCARDCONTEXT, LPCSTR), WindowsOnly)  \
    X(SCardFreeMemory, "SCardFreeMemory", None, decltype(::SCardFreeMemory), PcscLite)             \
    X(SCardLocateCardsA, "SCardLocateCards", None,                                                 \
      LONG(SCARDCONTEXT, LPCSTR, SCARD_READERSTATE*, DWORD), WindowsOnly)                          \
    X(SCardGetStatusChangeA, "SCardGetStatusChange", Service, decltype(::SCardGetStatusChange),    \
      PcscLite)                                                                                    \
    X(SCardCancel, "SCardCancel", None, decltype(::SCardCancel), PcscLite)                         \
    X(SCardConnectA, "SCardConnect", Card, decltype(::SCardConnect), PcscLite)                     \
    X(SCardReconnect, "SCardReconnect", Card, decltype(::SCardReconnect), PcscLite)                \
    X(SCardDisconnect, "SCardDisconnect", Service, decltype(::SCardDisconnect), PcscLite)          \
    X(SCardBeginTransaction, "SCardBeginTransaction", Card, decltype(::SCardBeginTransaction),     \
      PcscLite)                                                                                    \
    X(SCardEndTransaction, "SCardEndTransaction", Card, decltype(::SCardEndTransaction), PcscLite) \
    X(SCardStatusA, "SCardStatus", Service, decltype(::SCardStatus), PcscLite)                     \
    X(SCardTransmit, "SCardTransmit", Card, decltype(::SCardTransmit), PcscLite)                   \
    X(SCardControl, "SCardControl", Card, decltype(::SCardControl), PcscLite)                      \
    X(SCardGetAttrib, "SCardGetAttrib", Service, decltype(::SCardGetAttrib), PcscLite)             \
    X(SCardSetAttrib, "SCardSetAttrib", Service, decltype(::SCardSetAttrib), PcscLite)             \
    X(SCardIsValidContext, "SCardIsValidContext", None, decltype(::SCardIsValidContext), PcscLite) \
    X(SCardLocateCardsByATRA, "SCardLocateCardsByATR", None,                                       \
      LONG(SCARDCONTEXT, LPVOID, DWORD, SCARD_READERSTATE*, DWORD), WindowsOnly)                   \
    X(SCardAccessStartedEvent, "SCardAccessStartedEvent", None, void*(), WindowsOnly)              \
    X(SCardReleaseStartedEvent, "SCardReleaseStartedEvent", None, void(), WindowsOnly)

#define QEL_WINSCARD_COUNT_ONE(name, export_name, waits_on, signature, exported) +1
inline constexpr std::size_t kWinSCardEntryCount = 0 QEL_WINSCARD_ENTRIES(QEL_WINSCARD_COUNT_ONE);
#undef QEL_WINSCARD_COUNT_ONE

// Every entry in binding order.
const std::array<const WinSCardEntryBase*, kWinSCardEntryCount>& winscard_entries();

// The entries share their names with pcsc-lite's own declarations in the global namespace: call
// them qualified (qel::card::SCardTransmit) or from inside qel::card, never after a
// using-directive, which makes the name ambiguous. The global functions are never linked.
#define QEL_WINSCARD_DECLARE(name, export_name, waits_on, signature, exported) \
    extern WinSCardEntry<signature, Waits::waits_on> name;
QEL_WINSCARD_ENTRIES(QEL_WINSCARD_DECLARE)
#undef QEL_WINSCARD_DECLARE

}  // namespace qel::card
