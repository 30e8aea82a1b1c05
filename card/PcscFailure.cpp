#include "card/PcscFailure.h"

#include "card/WinSCard.h"

namespace qel::card {

PcscFailure classify_pcsc(std::uint32_t code) noexcept {
    switch (code) {
        case static_cast<std::uint32_t>(SCARD_S_SUCCESS):
            return PcscFailure::None;
        // A restarted service knows none of the old handles, and a connection broken in the
        // middle of a call is the service gone under it.
        case static_cast<std::uint32_t>(SCARD_E_NO_SERVICE):
        case static_cast<std::uint32_t>(SCARD_E_SERVICE_STOPPED):
        case static_cast<std::uint32_t>(SCARD_E_INVALID_HANDLE):
        case static_cast<std::uint32_t>(SCARD_F_COMM_ERROR):
            return PcscFailure::ServiceGone;
        case static_cast<std::uint32_t>(SCARD_E_NO_READERS_AVAILABLE):
            return PcscFailure::NoReader;
        // A dongle is a reader of its own: pulled out, it takes its reader along.
        case static_cast<std::uint32_t>(SCARD_E_UNKNOWN_READER):
        case static_cast<std::uint32_t>(SCARD_E_READER_UNAVAILABLE):
            return PcscFailure::ReaderGone;
        case static_cast<std::uint32_t>(SCARD_E_NO_SMARTCARD):
            return PcscFailure::NoCard;
        case static_cast<std::uint32_t>(SCARD_W_REMOVED_CARD):
            return PcscFailure::CardRemoved;
        case static_cast<std::uint32_t>(SCARD_E_SHARING_VIOLATION):
            return PcscFailure::CardInUse;
        // What a CCID reader at T=1 reports when the card goes, or the reader itself, in the
        // middle of an exchange; a card that garbles its blocks ends the same way.
        case static_cast<std::uint32_t>(SCARD_E_NOT_TRANSACTED):
            return PcscFailure::CardLost;
        case static_cast<std::uint32_t>(SCARD_E_CANCELLED):
        case static_cast<std::uint32_t>(SCARD_E_TIMEOUT):
            return PcscFailure::Interrupted;
        default:
            return PcscFailure::Other;
    }
}

}  // namespace qel::card
