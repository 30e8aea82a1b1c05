#pragma once

#include <cstdint>
#include <string>

#include "card/PcscFailure.h"
#include "util/Exception.h"

namespace qel::card {

// A failed PC/SC call, or a failure of the card layers themselves (code 0). With a code the
// message has three lines: the text, "SmartCard API error #" and the code in unsigned decimal,
// and the code's readable text.
class EKSCardAPIWinAPIException : public util::Exception {
public:
    EKSCardAPIWinAPIException(const std::string& text, std::uint32_t code);
    // A failure of the card layers themselves (code 0, so the text stays as it is) that means
    // what a PC/SC code would: no reader at all, a card gone in the middle of an answer.
    EKSCardAPIWinAPIException(const std::string& text, std::uint32_t code, PcscFailure failure);

    std::uint32_t ErrorCode;

    // What the code means, judged once where the call failed.
    PcscFailure failure() const noexcept { return m_failure; }

private:
    PcscFailure m_failure;
};

// A card answer whose status word is not 9000; the status word appears only in the message.
class EKSCardAPIISO7816Excepion : public util::Exception {
public:
    EKSCardAPIISO7816Excepion(const std::string& text, std::uint16_t status_word);
};

// Readable text of an ISO 7816 / GlobalPlatform status word; never fails.
std::string StatusWordText(std::uint16_t status_word);

// Readable text of a PC/SC return code; a code without a text of its own gives "0x" and eight
// hex digits.
std::string SCardErrorText(std::uint32_t code);

// The texts the card layers raise their failures with.
inline constexpr const char* kErrEstablishContext = "Error when establishing context";
inline constexpr const char* kErrListReaders = "Error when listing readers";
inline constexpr const char* kErrFreeMemory = "Error when freeing memory";
inline constexpr const char* kErrConnectCard = "Error when connecting Card in: ";
inline constexpr const char* kErrProtocolNotSupported =
    "Protocols T0 and T1 are not supported for Card in: ";
inline constexpr const char* kErrReaderNotFound = "Card-Reader is not found";
inline constexpr const char* kErrGetAtr = "Error getting card ATR!";
inline constexpr const char* kErrFreeAtr = "Error freeing memory after getting ATR!";
inline constexpr const char* kErrTransmit = "SCardTransmit error";
inline constexpr const char* kErrShortAnswer =
    "Card returned less than 2 bytes of data, that should not happen!";
inline constexpr const char* kErrUnknownSendMethod = "Unknown data send method";
inline constexpr const char* kErrCardError = "Card returned error message ";
inline constexpr const char* kErrSendReceive = "Send + Receive error";

}  // namespace qel::card
