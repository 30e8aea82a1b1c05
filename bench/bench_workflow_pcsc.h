#pragma once

// The PC/SC side of the benchmark: the functions either side calls, counted and timed by
// function in a shim that stands in for libpcsclite.so.1, so that both sides are shown doing
// the same work and the time spent inside pcsc-lite can be told from the time spent around it.

#include <winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qel::bench {

// Every function pcsc-lite exports that the binding binds.
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

// Calls made and nanoseconds spent in them, by function.
struct PcscTally {
    std::array<std::uint64_t, kPcscCallKinds> calls{};
    std::array<std::uint64_t, kPcscCallKinds> nanos{};

    std::uint64_t calls_of(PcscCall call) const { return calls[static_cast<std::size_t>(call)]; }
    std::uint64_t total_calls() const;
    std::uint64_t total_nanos() const;
    // What happened since `before`.
    PcscTally since(const PcscTally& before) const;
};

// The shim's C interface: copies up to `kinds` counters of each kind, in PcscCall order, and
// returns how many kinds it keeps.
inline constexpr const char* kShimReadSymbol = "qel_bench_shim_read";
using ShimRead = std::size_t (*)(std::uint64_t* calls, std::uint64_t* nanos, std::size_t kinds);

// The functions the floor calls, taken from pcsc-lite or from the shim.
struct PcscFunctions {
    decltype(&::SCardEstablishContext) establish_context = nullptr;
    decltype(&::SCardReleaseContext) release_context = nullptr;
    decltype(&::SCardListReaders) list_readers = nullptr;
    decltype(&::SCardFreeMemory) free_memory = nullptr;
    decltype(&::SCardConnect) connect = nullptr;
    decltype(&::SCardDisconnect) disconnect = nullptr;
    decltype(&::SCardGetAttrib) get_attrib = nullptr;
    decltype(&::SCardStatus) status = nullptr;
    decltype(&::SCardTransmit) transmit = nullptr;
    decltype(&::SCardIsValidContext) is_valid_context = nullptr;
};

// pcsc-lite as linked into the program.
PcscFunctions linked_pcsc();

// The shim the binding has loaded from `path`, or loads it itself: its functions and its
// counters. The shim stays loaded while this lives.
class ShimProbe {
public:
    explicit ShimProbe(const std::string& path);  // throws std::runtime_error
    ~ShimProbe();
    ShimProbe(const ShimProbe&) = delete;
    ShimProbe& operator=(const ShimProbe&) = delete;

    PcscTally read() const;
    const PcscFunctions& functions() const { return m_functions; }

private:
    void* m_handle;
    ShimRead m_read = nullptr;
    PcscFunctions m_functions;
};

}  // namespace qel::bench
