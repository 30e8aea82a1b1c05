#include "card/KSCardAPICardBase.h"

#include <algorithm>
#include <array>

#include "card/KSCardAPIExceptions.h"

namespace qel::card {

namespace {

SCARD_IO_REQUEST send_pci_for(DWORD protocol) {
    if (protocol == SCARD_PROTOCOL_T0) {
        return kSCardT0Pci;
    }
    if (protocol == SCARD_PROTOCOL_T1) {
        return kSCardT1Pci;
    }
    // The reader lookup refuses any other protocol; should one arrive anyway, SendAPDUBytes
    // refuses to send rather than guess a record.
    return SCARD_IO_REQUEST{protocol, sizeof(SCARD_IO_REQUEST)};
}

// Answer buffer of Le + 2 bytes: room for the expected data and SW1 SW2.
std::size_t answer_size_for(std::int32_t le) {
    if (le < 0 || le > kMaxExpectedLength) {
        throw EKSCardAPIWinAPIException(kErrExpectedLengthRange + std::to_string(le), 0);
    }
    return static_cast<std::size_t>(le) + 2;
}

// The most a short answer holds: 256 data bytes and SW1 SW2.
constexpr std::size_t kShortAnswerSize = 256 + 2;

// Room for one answer. A short answer, and every answer the dongle gives is one, takes no
// allocation: it is received on the stack and only its data is copied out.
class AnswerBuffer {
public:
    explicit AnswerBuffer(std::size_t size) : m_size(size) {
        if (size > m_short.size())
            m_long.resize(size);
        else
            // Zeroed as a new vector is: a driver that overstates the count must find no status
            // word of an earlier answer in the bytes it never wrote.
            std::fill_n(m_short.begin(), size, std::uint8_t{0});
    }
    std::span<std::uint8_t> get() {
        return {m_long.empty() ? m_short.data() : m_long.data(), m_size};
    }

private:
    std::array<std::uint8_t, kShortAnswerSize> m_short;
    util::ByteArray m_long;
    std::size_t m_size;
};

std::uint16_t status_word_at(std::span<const std::uint8_t> bytes, std::size_t count) {
    if (count < 2) {
        throw EKSCardAPIWinAPIException(kErrShortAnswer, 0, PcscFailure::CardRemoved);
    }
    if (count > bytes.size()) {
        throw EKSCardAPIWinAPIException("Status word position past the end of the answer", 0);
    }
    return static_cast<std::uint16_t>(bytes[count - 2] << 8 | bytes[count - 1]);
}

// build_short_command into a buffer of the largest size; returns the command's length.
std::size_t write_short_command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                std::uint8_t p2, std::span<const std::uint8_t> data,
                                std::span<std::uint8_t, kCommandBufferSize> out) {
    if (data.size() > kMaxCommandDataLength) {
        throw EKSCardAPIWinAPIException(
            kErrCommandDataTooLong + std::to_string(data.size()) + " bytes", 0);
    }
    out[0] = cla;
    out[1] = ins;
    out[2] = p1;
    out[3] = p2;
    // An Lc of 00 would not say "no data": a five-byte command reads as asking for 256 bytes.
    if (data.empty())
        return 4;
    out[4] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), out.begin() + 5);
    return 5 + data.size();
}

}  // namespace

TKSCardAPICardBase::TKSCardAPICardBase(CardConnection connection, DWORD protocol,
                                       const std::string& reader_name)
    : m_connection(std::move(connection)),
      Context(m_connection.context()),
      CardHandle(m_connection.card()),
      Protocol(protocol),
      SendPci(send_pci_for(protocol)),
      ReaderName(reader_name),
      ATR(0) {}

void TKSCardAPICardBase::Refresh() {
    PcscBuffer<BYTE> buffer(Context);
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG attrib_result =
        SCardGetAttrib(CardHandle, kSCardAttrAtrString, buffer.receive<LPBYTE>(), &length);
    if (!pcsc_failed(attrib_result)) {
        ATR.SetLength(buffer.get() != nullptr ? static_cast<std::int32_t>(length) : 0);
        std::copy_n(buffer.get(), ATR.GetLength(), ATR.GetArray().begin());
        buffer.release_checked(kErrFreeAtr);
        return;
    }

    // pcsc-lite allocates before it asks the reader and leaves the buffer with us when the
    // reader fails; it goes back like any other. Its result changes nothing about the outcome.
    buffer.reset();

    // Some reader drivers do not serve the ATR attribute; the connection's status carries it too.
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    if (pcsc_failed(
            SCardStatusA(CardHandle, nullptr, nullptr, nullptr, nullptr, atr, &atr_length))) {
        // The attribute's failure is the one worth reporting: the status was only a fallback.
        check_pcsc(attrib_result, kErrGetAtr);
    }
    ATR.SetLength(static_cast<std::int32_t>(std::min<DWORD>(atr_length, sizeof atr)));
    std::copy_n(atr, ATR.GetLength(), ATR.GetArray().begin());
}

util::ByteArray build_short_command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                    std::uint8_t p2, std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, kCommandBufferSize> command;
    const std::size_t length = write_short_command(cla, ins, p1, p2, data, command);
    return util::ByteArray(command.begin(), command.begin() + length);
}

void TKSCardAPICardBase::SendAPDU(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                  std::uint8_t p2, util::ByteArray& response, std::int32_t le,
                                  const util::ByteString& data) {
    send_apdu(cla, ins, p1, p2, util::byte_span(data), response, le);
}

void TKSCardAPICardBase::send_apdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                   std::uint8_t p2, std::span<const std::uint8_t> data,
                                   util::ByteArray& response, std::int32_t le) {
    std::array<std::uint8_t, kCommandBufferSize> command;
    const std::size_t length = write_short_command(cla, ins, p1, p2, data, command);
    send_apdu_bytes(std::span(command).first(length), response, le);
}

void TKSCardAPICardBase::SendAPDUBytes(const util::ByteArray& command, util::ByteArray& response,
                                       std::int32_t le) {
    send_apdu_bytes(command, response, le);
}

void TKSCardAPICardBase::send_apdu_bytes(std::span<const std::uint8_t> command,
                                         util::ByteArray& response, std::int32_t le) {
    const std::size_t answer_size = answer_size_for(le);
    // Whatever the protocol, a command starts with its four header bytes; anything shorter is
    // not a command to hand to the reader.
    if (command.size() < 4 || (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1)) {
        throw EKSCardAPIWinAPIException(kErrUnknownSendMethod, 0);
    }
    // The exchanges of SendT1, SendCase1T0 and SendCase3T0, made here on the command as it lies.
    if (Protocol == SCARD_PROTOCOL_T1) {
        exchange(SendPci, command, answer_size, response);
        return;
    }
    if (command.size() == 4) {
        if (le == 0) {
            exchange(SendPci, command, 2, response);
        } else {
            SendCase2T0(util::ByteArray(command.begin(), command.end()), response, le);
        }
    } else {
        if (le == 0) {
            exchange(SendPci, command, 2, response);
        } else {
            send_case4_t0(command, response, le);
        }
    }
}

void TKSCardAPICardBase::SendCase1T0(const util::ByteArray& command, util::ByteArray& response,
                                     std::int32_t /*le*/) {
    exchange(SendPci, command, 2, response);
}

void TKSCardAPICardBase::SendCase2T0(const util::ByteArray& command, util::ByteArray& response,
                                     std::int32_t le) {
    const std::size_t answer_size = answer_size_for(le);
    util::ByteArray with_le = command;
    // Le 256 goes out as 00, as ISO 7816 encodes it.
    with_le.push_back(static_cast<std::uint8_t>(le & 0xFF));
    exchange(SendPci, with_le, answer_size, response);
}

void TKSCardAPICardBase::SendCase3T0(const util::ByteArray& command, util::ByteArray& response,
                                     std::int32_t /*le*/) {
    exchange(SendPci, command, 2, response);
}

void TKSCardAPICardBase::SendCase4T0(const util::ByteArray& command, util::ByteArray& response,
                                     std::int32_t le) {
    send_case4_t0(command, response, le);
}

void TKSCardAPICardBase::send_case4_t0(std::span<const std::uint8_t> command,
                                       util::ByteArray& response, std::int32_t le) {
    const std::size_t answer_size = answer_size_for(le);
    // A T=0 card answers a command with data by its status alone; 61 xx says xx answer bytes are
    // waiting for a GET RESPONSE. A reader that exchanges whole APDUs fetches them itself and
    // hands back the data with 90 00, so the first answer gets room for all of it.
    AnswerBuffer buffer(answer_size);
    const std::span<std::uint8_t> answer = buffer.get();
    const std::size_t received = transmit(SendPci, command, answer);
    if (received < 2) {
        throw EKSCardAPIWinAPIException(kErrShortAnswer, 0, PcscFailure::CardRemoved);
    }
    if (received == 2 && answer[0] == 0x61) {
        const std::array<std::uint8_t, 5> get_response{0x00, 0xC0, 0x00, 0x00, answer[1]};
        // 61 00 counts 256 waiting bytes, which may be more than Le asked for.
        const std::size_t waiting_size =
            answer[1] == 0x00 ? std::max<std::size_t>(answer_size, 256 + 2) : answer_size;
        // GET RESPONSE is a T=0 mechanism: it always goes out with the T=0 record.
        exchange(kSCardT0Pci, get_response, waiting_size, response);
        return;
    }
    LastSW = status_word_at(answer, received);
    if (LastSW != 0x9000) {
        throw EKSCardAPIISO7816Excepion(kErrSendReceive, LastSW);
    }
    response.assign(answer.begin(), answer.begin() + (received - 2));
}

void TKSCardAPICardBase::SendT1(const util::ByteArray& command, util::ByteArray& response,
                                std::int32_t le) {
    exchange(SendPci, command, answer_size_for(le), response);
}

void TKSCardAPICardBase::CheckTransmitResult(LONG result) {
    check_pcsc(result, kErrTransmit);
}

void TKSCardAPICardBase::CheckStatusWord(std::uint16_t status_word) {
    if (status_word != 0x9000) {
        throw EKSCardAPIISO7816Excepion(kErrCardError, status_word);
    }
}

std::uint16_t TKSCardAPICardBase::StatusWordAt(const util::ByteArray& bytes, std::size_t count) {
    return status_word_at(bytes, count);
}

std::size_t TKSCardAPICardBase::transmit(const SCARD_IO_REQUEST& send_pci,
                                         std::span<const std::uint8_t> command,
                                         std::span<std::uint8_t> answer) {
    DWORD length = answer.size();
    CheckTransmitResult(SCardTransmit(CardHandle, &send_pci, command.data(), command.size(),
                                      nullptr, answer.data(), &length));
    // A count beyond the buffer comes from a broken driver: the answer did not fit, and the
    // bytes the count claims (the status word among them) were never written.
    if (length > answer.size()) {
        CheckTransmitResult(SCARD_E_INSUFFICIENT_BUFFER);
    }
    return length;
}

void TKSCardAPICardBase::exchange(const SCARD_IO_REQUEST& send_pci,
                                  std::span<const std::uint8_t> command, std::size_t answer_size,
                                  util::ByteArray& response) {
    AnswerBuffer buffer(answer_size);
    const std::span<std::uint8_t> answer = buffer.get();
    const std::size_t received = transmit(send_pci, command, answer);
    // Every answer ends in SW1 SW2; fewer bytes than that is a broken answer, not a status.
    if (received < 2) {
        throw EKSCardAPIWinAPIException(kErrShortAnswer, 0, PcscFailure::CardRemoved);
    }
    LastSW = status_word_at(answer, received);
    CheckStatusWord(LastSW);
    response.assign(answer.begin(), answer.begin() + (received - 2));
}

}  // namespace qel::card
