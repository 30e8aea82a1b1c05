#include "bench/bench_workflow_floor.h"

#include <reader.h>
#include <winscard.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "util/KUDynArrays.h"

namespace qel::bench {

namespace {

using util::ByteArray;

// The dongle's applet: "qel21" and 01 01 01.
constexpr std::array<BYTE, 13> kSelectApplet{0x00, 0xA4, 0x04, 0x00, 0x08, 0x71, 0x65,
                                             0x6C, 0x32, 0x31, 0x01, 0x01, 0x01};
// CLA INS P1 P2, then Lc 01 and the data byte FF every dongle command carries.
constexpr std::array<BYTE, 6> kReadSerial{0x40, 0x10, 0x62, 0x12, 0x01, 0xFF};
constexpr std::array<BYTE, 6> kReadFirmware{0x40, 0x10, 0x62, 0xB2, 0x01, 0xFF};
constexpr std::array<BYTE, 6> kReadErrorCode{0x40, 0x10, 0x62, 0x20, 0x01, 0xFF};

// Our channel asks for up to 255 answer bytes and leaves room for the status word.
constexpr DWORD kAnswerBuffer = 255 + 2;
constexpr std::size_t kSerialBytesShown = 4;

[[noreturn]] void fail(const char* call, LONG result) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed: 0x%08lX", call,
                  static_cast<unsigned long>(result));
    throw FloorError(text);
}

void check(const char* call, LONG result) {
    if (result != SCARD_S_SUCCESS)
        fail(call, result);
}

class Context {
public:
    explicit Context(const PcscFunctions& pcsc) : m_pcsc(pcsc) {
        check("SCardEstablishContext",
              m_pcsc.establish_context(SCARD_SCOPE_USER, nullptr, nullptr, &m_handle));
    }
    ~Context() {
        m_pcsc.release_context(m_handle);  // result ignored, as our library does
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    SCARDCONTEXT get() const { return m_handle; }

private:
    const PcscFunctions& m_pcsc;
    SCARDCONTEXT m_handle = 0;
};

class Card {
public:
    Card(const PcscFunctions& pcsc, SCARDHANDLE handle, DWORD protocol)
        : m_pcsc(pcsc), m_handle(handle), m_protocol(protocol) {}
    ~Card() {
        m_pcsc.disconnect(m_handle, SCARD_LEAVE_CARD);  // result ignored, as our library does
    }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Reads the ATR as our channel does: the attribute first, which some reader drivers (the
    // virtual one among them) refuse after pcsc-lite has already handed out a buffer, then the
    // connection's status.
    void read_atr(SCARDCONTEXT context) {
        LPBYTE buffer = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        const LONG attrib = m_pcsc.get_attrib(m_handle, SCARD_ATTR_ATR_STRING,
                                              reinterpret_cast<LPBYTE>(&buffer), &length);
        if (buffer != nullptr)
            m_pcsc.free_memory(context, buffer);
        if (attrib == SCARD_S_SUCCESS)
            return;
        BYTE atr[MAX_ATR_SIZE];
        DWORD atr_length = sizeof atr;
        if (m_pcsc.status(m_handle, nullptr, nullptr, nullptr, nullptr, atr, &atr_length) !=
            SCARD_S_SUCCESS)
            fail("SCardGetAttrib", attrib);
    }

    // One command with data. Under T=0 the card answers it with its status alone, 61 xx when xx
    // answer bytes wait for GET RESPONSE; under T=1 the answer comes at once. Returns the answer
    // data; fails on any status word but 90 00.
    template <std::size_t N>
    ByteArray send(const std::array<BYTE, N>& command) {
        std::array<BYTE, kAnswerBuffer> answer;
        DWORD length = m_protocol == SCARD_PROTOCOL_T1 ? kAnswerBuffer : 2;
        transmit(m_protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0, command.data(), N,
                 answer.data(), length);
        if (m_protocol == SCARD_PROTOCOL_T0 && length == 2 && answer[0] == 0x61) {
            const std::array<BYTE, 5> get_response{0x00, 0xC0, 0x00, 0x00, answer[1]};
            length = kAnswerBuffer;
            transmit(SCARD_PCI_T0, get_response.data(), get_response.size(), answer.data(), length);
        }
        if (length < 2 || answer[length - 2] != 0x90 || answer[length - 1] != 0x00) {
            char text[64];
            std::snprintf(text, sizeof text, "status word %02X%02X to %02X %02X %02X %02X",
                          length >= 2 ? answer[length - 2] : 0,
                          length >= 2 ? answer[length - 1] : 0, command[0], command[1], command[2],
                          command[3]);
            throw FloorError(text);
        }
        return ByteArray(answer.begin(), answer.begin() + (length - 2));
    }

private:
    void transmit(const SCARD_IO_REQUEST* pci, const BYTE* command, std::size_t command_length,
                  BYTE* answer, DWORD& answer_length) {
        check("SCardTransmit",
              m_pcsc.transmit(m_handle, pci, command, static_cast<DWORD>(command_length), nullptr,
                              answer, &answer_length));
    }

    const PcscFunctions& m_pcsc;
    SCARDHANDLE m_handle;
    DWORD m_protocol;
};

std::uint16_t big_endian_16(const ByteArray& bytes) {
    std::uint64_t value = 0;
    if (bytes.size() <= 8) {
        for (const std::uint8_t b : bytes)
            value = value << 8 | b;
    }
    return static_cast<std::uint16_t>(value);
}

DongleReadout read_dongle(Card& card) {
    DongleReadout readout;
    ByteArray serial = card.send(kReadSerial);
    if (serial.size() > kSerialBytesShown)
        serial.resize(kSerialBytesShown);
    readout.serial = util::TKUDynArray::ByteStreamToHexString(serial, "");
    readout.firmware_version = big_endian_16(card.send(kReadFirmware));
    readout.error_code = big_endian_16(card.send(kReadErrorCode));
    return readout;
}

}  // namespace

std::string describe(const DongleReadout& readout) {
    char text[80];
    std::snprintf(text, sizeof text, "serial %s, firmware %04X, error code %04X",
                  readout.serial.c_str(), readout.firmware_version, readout.error_code);
    return text;
}

DongleReadout floor_readout(const PcscFunctions& pcsc) {
    Context context(pcsc);

    LPSTR readers = nullptr;
    DWORD readers_length = SCARD_AUTOALLOCATE;
    const LONG listed = pcsc.list_readers(context.get(), nullptr, reinterpret_cast<LPSTR>(&readers),
                                          &readers_length);
    if (listed != SCARD_S_SUCCESS) {
        if (readers != nullptr)
            pcsc.free_memory(context.get(), readers);
        fail("SCardListReaders", listed);
    }
    // The buffer goes back before the first connection, as in our library: the names are
    // walked from a copy.
    ByteArray names(readers, readers + readers_length);
    pcsc.free_memory(context.get(), readers);

    const char* name = reinterpret_cast<const char*>(names.data());
    const char* const end = name + names.size();
    while (name < end && *name != '\0') {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        const LONG connected =
            pcsc.connect(context.get(), name, SCARD_SHARE_EXCLUSIVE,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
        name += strnlen(name, static_cast<std::size_t>(end - name)) + 1;
        if (connected != SCARD_S_SUCCESS)
            continue;
        Card card(pcsc, handle, protocol);
        try {
            card.read_atr(context.get());
            card.send(kSelectApplet);
        } catch (const FloorError&) {
            // Not the dongle, or no card that answers: the next reader may hold it.
            continue;
        }
        return read_dongle(card);
    }
    throw FloorError("no reader holds a card that accepts the dongle's AID");
}

}  // namespace qel::bench
