#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace qel::e2e {

using qel::util::ByteArray;

// The two readers vpcd registers in the sandbox, and the port a card connects to for each.
inline constexpr int kReaderCount = 2;
inline constexpr const char* kReaderNames[kReaderCount] = {"Virtual PCD 00 00",
                                                           "Virtual PCD 00 01"};
inline constexpr std::uint16_t kReaderPorts[kReaderCount] = {35963, 35964};

inline constexpr std::chrono::milliseconds kDefaultTimeout{10000};

// Hex text without separators to bytes (any case, non-hex characters ignored), and back in
// upper case: test tables read better as text.
ByteArray bytes(const std::string& hex_text);
std::string hex(const ByteArray& data);

// A PC/SC code as "0x80100069".
std::string pcsc_code_text(LONG code);

class PcscError : public std::runtime_error {
public:
    PcscError(const std::string& call, LONG code);
    LONG code() const { return m_code; }

private:
    LONG m_code;
};

// A PC/SC context of the test process itself, straight on pcsc-lite.
class PcscContext {
public:
    PcscContext();  // throws PcscError
    ~PcscContext();
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    SCARDCONTEXT get() const { return m_context; }

    std::vector<std::string> readers() const;  // throws PcscError

    // The reader's event state (SCARD_STATE_* bits) as pcscd reports it now.
    DWORD reader_state(const std::string& reader) const;

    // Waits until pcscd reports a working card in the reader (present and not mute), or none.
    // `keep_waiting` is asked between slices of at most 100 ms and can cut the wait short.
    // True when the state was reached.
    bool wait_for_card(const std::string& reader, bool present,
                       std::chrono::milliseconds timeout = kDefaultTimeout,
                       const std::function<bool()>& keep_waiting = {}) const;

private:
    SCARDCONTEXT m_context = 0;
};

struct TransmitResult {
    LONG rv = SCARD_S_SUCCESS;
    ByteArray response;  // data and status word as received
};

// One connected card; disconnects leaving the card as it is.
class CardConnection {
public:
    // Throws PcscError with SCardConnect's code.
    CardConnection(const PcscContext& context, const std::string& reader,
                   DWORD share_mode = SCARD_SHARE_SHARED,
                   DWORD protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    ~CardConnection();
    CardConnection(const CardConnection&) = delete;
    CardConnection& operator=(const CardConnection&) = delete;

    SCARDHANDLE handle() const { return m_handle; }
    DWORD protocol() const { return m_protocol; }

    // SCardTransmit with the PCI of the active protocol and an answer buffer of `buffer_size`
    // bytes; whatever it returns.
    TransmitResult transmit_raw(const ByteArray& command,
                                std::size_t buffer_size = MAX_BUFFER_SIZE) const;
    // The same, throwing PcscError when SCardTransmit fails.
    ByteArray transmit(const ByteArray& command) const;

    // The ATR as SCardStatus reports it; throws PcscError.
    ByteArray atr() const;

private:
    SCARDHANDLE m_handle = 0;
    DWORD m_protocol = 0;
};

}  // namespace qel::e2e
