#include "tests/e2e/support/pcsc_client.h"

#include <cstdio>

#include "tests/e2e/support/child_process.h"
#include "util/KUDynArrays.h"

namespace qel::e2e {

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(100);

void check(const char* call, LONG rv) {
    if (rv != SCARD_S_SUCCESS)
        throw PcscError(call, rv);
}

bool card_state_reached(DWORD state, bool present) {
    const bool working = (state & SCARD_STATE_PRESENT) && !(state & SCARD_STATE_MUTE);
    return present ? working : (state & SCARD_STATE_EMPTY) != 0;
}

}  // namespace

ByteArray bytes(const std::string& hex_text) {
    ByteArray out;
    qel::util::StringToByteStream(hex_text, out);
    return out;
}

std::string hex(const ByteArray& data) {
    return qel::util::TKUDynArray::ByteStreamToHexString(data, "");
}

std::string pcsc_code_text(LONG code) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code) & 0xFFFFFFFFUL);
    return text;
}

PcscError::PcscError(const std::string& call, LONG code)
    : std::runtime_error(call + " failed: " + pcsc_code_text(code) + " (" +
                         pcsc_stringify_error(code) + ")"),
      m_code(code) {}

PcscContext::PcscContext() {
    check("SCardEstablishContext",
          SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context));
}

PcscContext::~PcscContext() {
    SCardReleaseContext(m_context);  // a failed release leaves nothing the test could fix
}

std::vector<std::string> PcscContext::readers() const {
    DWORD length = 0;
    LONG rv = SCardListReaders(m_context, nullptr, nullptr, &length);
    if (rv == SCARD_E_NO_READERS_AVAILABLE)
        return {};
    check("SCardListReaders", rv);
    std::string multi(length, '\0');
    rv = SCardListReaders(m_context, nullptr, multi.data(), &length);
    check("SCardListReaders", rv);
    std::vector<std::string> names;
    for (std::size_t start = 0; start < multi.size() && multi[start] != '\0';) {
        const std::size_t end = multi.find('\0', start);
        names.push_back(multi.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

DWORD PcscContext::reader_state(const std::string& reader) const {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    check("SCardGetStatusChange", SCardGetStatusChange(m_context, 0, &state, 1));
    return state.dwEventState;
}

bool PcscContext::wait_for_card(const std::string& reader, bool present,
                                std::chrono::milliseconds timeout,
                                const std::function<bool()>& keep_waiting) const {
    const Deadline deadline(timeout);
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto slice = std::min(deadline.left(), kWaitSlice);
        const LONG rv =
            SCardGetStatusChange(m_context, static_cast<DWORD>(slice.count()), &state, 1);
        if (rv != SCARD_E_TIMEOUT)
            check("SCardGetStatusChange", rv);
        if (rv == SCARD_S_SUCCESS) {
            if (card_state_reached(state.dwEventState, present))
                return true;
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        }
        if (deadline.passed() || (keep_waiting && !keep_waiting()))
            return false;
    }
}

CardConnection::CardConnection(const PcscContext& context, const std::string& reader,
                               DWORD share_mode, DWORD protocols) {
    check("SCardConnect", SCardConnect(context.get(), reader.c_str(), share_mode, protocols,
                                       &m_handle, &m_protocol));
}

CardConnection::~CardConnection() {
    SCardDisconnect(m_handle, SCARD_LEAVE_CARD);  // the card may be gone already: no matter
}

TransmitResult CardConnection::transmit_raw(const ByteArray& command,
                                            std::size_t buffer_size) const {
    const SCARD_IO_REQUEST* pci = m_protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    TransmitResult result;
    result.response.resize(buffer_size);
    DWORD length = static_cast<DWORD>(buffer_size);
    result.rv = SCardTransmit(m_handle, pci, command.data(), static_cast<DWORD>(command.size()),
                              nullptr, result.response.data(), &length);
    result.response.resize(result.rv == SCARD_S_SUCCESS ? length : 0);
    return result;
}

ByteArray CardConnection::transmit(const ByteArray& command) const {
    TransmitResult result = transmit_raw(command);
    check("SCardTransmit", result.rv);
    return result.response;
}

ByteArray CardConnection::atr() const {
    char name[MAX_READERNAME + 1];
    DWORD name_length = sizeof name;
    DWORD state = 0;
    DWORD protocol = 0;
    ByteArray atr(MAX_ATR_SIZE);
    DWORD atr_length = static_cast<DWORD>(atr.size());
    check("SCardStatus",
          SCardStatus(m_handle, name, &name_length, &state, &protocol, atr.data(), &atr_length));
    atr.resize(atr_length);
    return atr;
}

}  // namespace qel::e2e
