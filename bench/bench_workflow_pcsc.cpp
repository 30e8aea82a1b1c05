#include "bench/bench_workflow_pcsc.h"

#include <dlfcn.h>

#include <stdexcept>

namespace qel::bench {

std::uint64_t PcscTally::total_calls() const {
    std::uint64_t sum = 0;
    for (const std::uint64_t n : calls)
        sum += n;
    return sum;
}

std::uint64_t PcscTally::total_nanos() const {
    std::uint64_t sum = 0;
    for (const std::uint64_t n : nanos)
        sum += n;
    return sum;
}

PcscTally PcscTally::since(const PcscTally& before) const {
    PcscTally delta;
    for (std::size_t i = 0; i < kPcscCallKinds; ++i) {
        delta.calls[i] = calls[i] - before.calls[i];
        delta.nanos[i] = nanos[i] - before.nanos[i];
    }
    return delta;
}

PcscFunctions linked_pcsc() {
    PcscFunctions pcsc;
    pcsc.establish_context = &::SCardEstablishContext;
    pcsc.release_context = &::SCardReleaseContext;
    pcsc.list_readers = &::SCardListReaders;
    pcsc.free_memory = &::SCardFreeMemory;
    pcsc.connect = &::SCardConnect;
    pcsc.disconnect = &::SCardDisconnect;
    pcsc.get_attrib = &::SCardGetAttrib;
    pcsc.status = &::SCardStatus;
    pcsc.transmit = &::SCardTransmit;
    pcsc.is_valid_context = &::SCardIsValidContext;
    return pcsc;
}

namespace {

template <class Function>
void bind(void* handle, PcscCall call, Function& function) {
    function =
        reinterpret_cast<Function>(dlsym(handle, kPcscCallNames[static_cast<std::size_t>(call)]));
    if (function == nullptr)
        throw std::runtime_error(std::string("the PC/SC shim lacks ") +
                                 kPcscCallNames[static_cast<std::size_t>(call)]);
}

}  // namespace

ShimProbe::ShimProbe(const std::string& path)
    : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (m_handle == nullptr)
        throw std::runtime_error("cannot load the PC/SC shim " + path + ": " + dlerror());
    try {
        m_read = reinterpret_cast<ShimRead>(dlsym(m_handle, kShimReadSymbol));
        if (m_read == nullptr)
            throw std::runtime_error("no counters in the PC/SC shim " + path);
        bind(m_handle, PcscCall::EstablishContext, m_functions.establish_context);
        bind(m_handle, PcscCall::ReleaseContext, m_functions.release_context);
        bind(m_handle, PcscCall::ListReaders, m_functions.list_readers);
        bind(m_handle, PcscCall::FreeMemory, m_functions.free_memory);
        bind(m_handle, PcscCall::Connect, m_functions.connect);
        bind(m_handle, PcscCall::Disconnect, m_functions.disconnect);
        bind(m_handle, PcscCall::GetAttrib, m_functions.get_attrib);
        bind(m_handle, PcscCall::Status, m_functions.status);
        bind(m_handle, PcscCall::Transmit, m_functions.transmit);
        bind(m_handle, PcscCall::IsValidContext, m_functions.is_valid_context);
    } catch (...) {
        dlclose(m_handle);
        throw;
    }
}

ShimProbe::~ShimProbe() {
    // Drops this reference only; a binding that loaded the same shim keeps its own.
    dlclose(m_handle);
}

PcscTally ShimProbe::read() const {
    PcscTally tally;
    m_read(tally.calls.data(), tally.nanos.data(), kPcscCallKinds);
    return tally;
}

}  // namespace qel::bench
