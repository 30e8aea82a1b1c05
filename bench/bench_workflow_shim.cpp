// A stand-in for libpcsclite.so.1 that counts and times every call by function and forwards it
// to the real library. The benchmark hands its path to the binding, so our library's PC/SC calls
// are seen exactly where they leave it, without a line of product code knowing; the floor calls
// through it too, so both sides carry the same probe.
#include <dlfcn.h>
#include <winscard.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "bench/bench_workflow_pcsc.h"

namespace {

using qel::bench::kPcscCallKinds;
using qel::bench::kPcscCallNames;
using qel::bench::PcscCall;

std::array<std::atomic<std::uint64_t>, kPcscCallKinds> g_calls{};
std::array<std::atomic<std::uint64_t>, kPcscCallKinds> g_nanos{};

// The real library, bound by the same names the counters carry.
class RealPcsc {
public:
    RealPcsc() : m_handle(dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL)) {
        if (m_handle == nullptr)
            return;
        for (std::size_t i = 0; i < kPcscCallKinds; ++i)
            m_entries[i] = reinterpret_cast<void (*)()>(dlsym(m_handle, kPcscCallNames[i]));
    }
    ~RealPcsc() {
        if (m_handle != nullptr)
            dlclose(m_handle);  // nothing to be done if the loader refuses
    }
    RealPcsc(const RealPcsc&) = delete;
    RealPcsc& operator=(const RealPcsc&) = delete;

    void (*entry(PcscCall call) const)() { return m_entries[static_cast<std::size_t>(call)]; }

private:
    void* m_handle;
    std::array<void (*)(), kPcscCallKinds> m_entries{};
};

const RealPcsc& real_pcsc() {
    static const RealPcsc real;
    return real;
}

template <PcscCall Call, class Signature>
struct Forward;

template <PcscCall Call, class... Args>
struct Forward<Call, LONG(Args...)> {
    static LONG to_real(Args... args) {
        constexpr auto index = static_cast<std::size_t>(Call);
        g_calls[index].fetch_add(1, std::memory_order_relaxed);
        const auto function = real_pcsc().entry(Call);
        // Without the real library the shim answers as a machine without the service would.
        if (function == nullptr)
            return SCARD_E_NO_SERVICE;
        const auto start = std::chrono::steady_clock::now();
        const LONG result = reinterpret_cast<LONG (*)(Args...)>(function)(args...);
        const auto spent = std::chrono::steady_clock::now() - start;
        g_nanos[index].fetch_add(
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count()),
            std::memory_order_relaxed);
        return result;
    }
};

}  // namespace

extern "C" {

std::size_t qel_bench_shim_read(std::uint64_t* calls, std::uint64_t* nanos, std::size_t kinds) {
    const std::size_t n = kinds < kPcscCallKinds ? kinds : kPcscCallKinds;
    for (std::size_t i = 0; i < n; ++i) {
        calls[i] = g_calls[i].load(std::memory_order_relaxed);
        nanos[i] = g_nanos[i].load(std::memory_order_relaxed);
    }
    return kPcscCallKinds;
}

LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                           LPSCARDCONTEXT context) {
    return Forward<PcscCall::EstablishContext, decltype(::SCardEstablishContext)>::to_real(
        scope, reserved1, reserved2, context);
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    return Forward<PcscCall::ReleaseContext, decltype(::SCardReleaseContext)>::to_real(context);
}

LONG SCardIsValidContext(SCARDCONTEXT context) {
    return Forward<PcscCall::IsValidContext, decltype(::SCardIsValidContext)>::to_real(context);
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
                  LPSCARDHANDLE card, LPDWORD active_protocol) {
    return Forward<PcscCall::Connect, decltype(::SCardConnect)>::to_real(
        context, reader, share_mode, protocols, card, active_protocol);
}

LONG SCardReconnect(SCARDHANDLE card, DWORD share_mode, DWORD protocols, DWORD initialization,
                    LPDWORD active_protocol) {
    return Forward<PcscCall::Reconnect, decltype(::SCardReconnect)>::to_real(
        card, share_mode, protocols, initialization, active_protocol);
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    return Forward<PcscCall::Disconnect, decltype(::SCardDisconnect)>::to_real(card, disposition);
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    return Forward<PcscCall::BeginTransaction, decltype(::SCardBeginTransaction)>::to_real(card);
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    return Forward<PcscCall::EndTransaction, decltype(::SCardEndTransaction)>::to_real(card,
                                                                                       disposition);
}

LONG SCardStatus(SCARDHANDLE card, LPSTR reader_names, LPDWORD reader_length, LPDWORD state,
                 LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    return Forward<PcscCall::Status, decltype(::SCardStatus)>::to_real(
        card, reader_names, reader_length, state, protocol, atr, atr_length);
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                          DWORD count) {
    return Forward<PcscCall::GetStatusChange, decltype(::SCardGetStatusChange)>::to_real(
        context, timeout, states, count);
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID send, DWORD send_length, LPVOID receive,
                  DWORD receive_length, LPDWORD returned) {
    return Forward<PcscCall::Control, decltype(::SCardControl)>::to_real(
        card, code, send, send_length, receive, receive_length, returned);
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, LPCBYTE send,
                   DWORD send_length, SCARD_IO_REQUEST* receive_pci, LPBYTE receive,
                   LPDWORD receive_length) {
    return Forward<PcscCall::Transmit, decltype(::SCardTransmit)>::to_real(
        card, send_pci, send, send_length, receive_pci, receive, receive_length);
}

LONG SCardListReaderGroups(SCARDCONTEXT context, LPSTR groups, LPDWORD groups_length) {
    return Forward<PcscCall::ListReaderGroups, decltype(::SCardListReaderGroups)>::to_real(
        context, groups, groups_length);
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD readers_length) {
    return Forward<PcscCall::ListReaders, decltype(::SCardListReaders)>::to_real(
        context, groups, readers, readers_length);
}

LONG SCardFreeMemory(SCARDCONTEXT context, LPCVOID memory) {
    return Forward<PcscCall::FreeMemory, decltype(::SCardFreeMemory)>::to_real(context, memory);
}

LONG SCardCancel(SCARDCONTEXT context) {
    return Forward<PcscCall::Cancel, decltype(::SCardCancel)>::to_real(context);
}

LONG SCardGetAttrib(SCARDHANDLE card, DWORD attribute, LPBYTE value, LPDWORD value_length) {
    return Forward<PcscCall::GetAttrib, decltype(::SCardGetAttrib)>::to_real(card, attribute, value,
                                                                             value_length);
}

LONG SCardSetAttrib(SCARDHANDLE card, DWORD attribute, LPCBYTE value, DWORD value_length) {
    return Forward<PcscCall::SetAttrib, decltype(::SCardSetAttrib)>::to_real(card, attribute, value,
                                                                             value_length);
}

}  // extern "C"
