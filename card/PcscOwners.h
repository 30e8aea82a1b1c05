#pragma once

// The one check of a PC/SC return code, and the owners of what PC/SC hands out: a context, a
// connected card, a buffer the library allocated. Each owner gives its handle back exactly once:
// when it is destroyed or reset, never after its handle has moved to another owner.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "card/KSCardAPIExceptions.h"
#include "card/WinSCard.h"

namespace qel::card {

inline bool pcsc_failed(LONG result) noexcept {
    return result != SCARD_S_SUCCESS;
}

// Raises EKSCardAPIWinAPIException(text, result) for any result but success.
inline void check_pcsc(LONG result, std::string_view text) {
    if (pcsc_failed(result)) {
        throw EKSCardAPIWinAPIException(std::string(text), static_cast<std::uint32_t>(result));
    }
}

// A handle and the call that gives it back, held by one owner at a time.
template <class Handle, LONG (*Release)(Handle)>
class PcscHandle {
public:
    PcscHandle() noexcept = default;
    explicit PcscHandle(Handle handle) noexcept : m_handle(handle) {}
    PcscHandle(PcscHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    PcscHandle& operator=(PcscHandle&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    ~PcscHandle() { reset(); }

    bool holds() const noexcept { return m_handle.has_value(); }
    // The handle, or a zero value when nothing is held.
    Handle get() const noexcept { return m_handle.value_or(Handle{}); }

    void reset() noexcept {
        if (m_handle) {
            Release(*std::exchange(m_handle, {}));
        }
    }

private:
    // PC/SC sets no handle value aside to mean "none", so being empty is kept apart from it.
    std::optional<Handle> m_handle;
};

namespace pcsc_release {

// Nothing can be done about a context or card that will not go: the handle is given up either
// way, so both results are ignored.
inline LONG context(SCARDCONTEXT handle) {
    return SCardReleaseContext(handle);
}
inline LONG card(SCARDHANDLE handle) {
    return SCardDisconnect(handle, SCARD_LEAVE_CARD);
}

}  // namespace pcsc_release

using PcscContext = PcscHandle<SCARDCONTEXT, &pcsc_release::context>;

// Raises kErrEstablishContext with PC/SC's code when no context is given.
inline PcscContext establish_context(DWORD scope) {
    SCARDCONTEXT context = 0;
    check_pcsc(SCardEstablishContext(scope, nullptr, nullptr, &context), kErrEstablishContext);
    return PcscContext(context);
}

// A connected card and the context it was connected in, which is not owned. The card is left as
// it is when the connection goes.
class CardConnection {
public:
    CardConnection() noexcept = default;
    CardConnection(SCARDCONTEXT context, SCARDHANDLE card) noexcept
        : m_context(context), m_card(card) {}

    bool holds() const noexcept { return m_card.holds(); }
    SCARDCONTEXT context() const noexcept { return m_context; }
    SCARDHANDLE card() const noexcept { return m_card.get(); }
    void reset() noexcept { m_card.reset(); }

private:
    SCARDCONTEXT m_context = 0;
    PcscHandle<SCARDHANDLE, &pcsc_release::card> m_card;
};

// A buffer PC/SC allocates for a call given the length SCARD_AUTOALLOCATE, freed with
// SCardFreeMemory on the context it was allocated for.
template <class T>
class PcscBuffer {
public:
    explicit PcscBuffer(SCARDCONTEXT context) noexcept : m_context(context) {}
    PcscBuffer(PcscBuffer&& other) noexcept
        : m_context(other.m_context), m_memory(std::exchange(other.m_memory, nullptr)) {}
    PcscBuffer& operator=(PcscBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            m_context = other.m_context;
            m_memory = std::exchange(other.m_memory, nullptr);
        }
        return *this;
    }
    ~PcscBuffer() { reset(); }

    // The buffer argument of the allocating call, which writes the buffer's address through it.
    // What it writes is owned from then on, whatever the call returns: pcsc-lite may allocate
    // before it fails.
    template <class Argument>
    Argument receive() noexcept {
        reset();
        return reinterpret_cast<Argument>(&m_memory);
    }

    T* get() const noexcept { return m_memory; }

    // Frees on a path that fails already, or is being left: the result is ignored.
    void reset() noexcept {
        if (m_memory != nullptr) {
            SCardFreeMemory(m_context, std::exchange(m_memory, nullptr));
        }
    }

    // Frees now and raises `text` with PC/SC's code if that fails. Either way nothing is held
    // afterwards: a buffer the library refused to take back is not offered to it again.
    void release_checked(std::string_view text) {
        if (m_memory != nullptr) {
            check_pcsc(SCardFreeMemory(m_context, std::exchange(m_memory, nullptr)), text);
        }
    }

private:
    SCARDCONTEXT m_context;
    T* m_memory = nullptr;
};

}  // namespace qel::card
