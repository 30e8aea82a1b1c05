#pragma once

// PC/SC calls counted by function: what the counting shim records for our library and what the
// floor records for itself, so both sides of the benchmark are shown doing the same work.

#include <array>
#include <cstddef>
#include <cstdint>

namespace qel::bench {

// Every function pcsc-lite exports that the binding binds, in the binding's order.
enum class PcscCall : std::size_t {
    EstablishContext,
    ReleaseContext,
    ListReaderGroups,
    ListReaders,
    FreeMemory,
    GetStatusChange,
    Cancel,
    Connect,
    Reconnect,
    Disconnect,
    BeginTransaction,
    EndTransaction,
    Status,
    Transmit,
    Control,
    GetAttrib,
    SetAttrib,
    IsValidContext,
};

inline constexpr std::size_t kPcscCallKinds = 18;

inline constexpr std::array<const char*, kPcscCallKinds> kPcscCallNames{
    "SCardEstablishContext", "SCardReleaseContext",  "SCardListReaderGroups", "SCardListReaders",
    "SCardFreeMemory",       "SCardGetStatusChange", "SCardCancel",           "SCardConnect",
    "SCardReconnect",        "SCardDisconnect",      "SCardBeginTransaction", "SCardEndTransaction",
    "SCardStatus",           "SCardTransmit",        "SCardControl",          "SCardGetAttrib",
    "SCardSetAttrib",        "SCardIsValidContext",
};

struct PcscCallCounts {
    std::array<std::uint64_t, kPcscCallKinds> calls{};

    void add(PcscCall call) { ++calls[static_cast<std::size_t>(call)]; }
    std::uint64_t operator[](PcscCall call) const { return calls[static_cast<std::size_t>(call)]; }
    std::uint64_t total() const {
        std::uint64_t sum = 0;
        for (const std::uint64_t n : calls)
            sum += n;
        return sum;
    }

    // The calls made since `before`.
    PcscCallCounts since(const PcscCallCounts& before) const {
        PcscCallCounts delta;
        for (std::size_t i = 0; i < kPcscCallKinds; ++i)
            delta.calls[i] = calls[i] - before.calls[i];
        return delta;
    }

    bool operator==(const PcscCallCounts&) const = default;
};

// The shim's C interface, looked up by name once the binding has loaded the shim.
inline constexpr const char* kShimReadCountsSymbol = "qel_bench_shim_read_counts";
// Copies up to `kinds` counters, in PcscCall order, into `out`; returns how many it has.
using ShimReadCounts = std::size_t (*)(std::uint64_t* out, std::size_t kinds);

}  // namespace qel::bench
