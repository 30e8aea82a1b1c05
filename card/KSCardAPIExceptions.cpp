#include "card/KSCardAPIExceptions.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "util/Hex.h"
#include "util/KUMath.h"

namespace qel::card {

namespace {

template <class Code>
struct CodeText {
    Code code;
    const char* text;
};

// Sorted by status word. Several texts end in a blank: they are shown as they are.
constexpr CodeText<std::uint16_t> kStatusWordTexts[] = {
    {0x6200, "State of non-volatile memory unchanged. No further information given"},
    {0x6281, "State of non-volatile memory unchanged. Part of returned data may be corrupted"},
    {0x6282,
     "State of non-volatile memory unchanged. End of file/record reached before reading Le bytes"},
    {0x6283,
     "State of non-volatile memory unchanged. Selected file invalidated. The Card Manager is "
     "locked"},
    {0x6284, "State of non-volatile memory unchanged. FCI not formatted according to 1.1.5"},
    {0x6300, "Authentication of the host cryptogram failed"},
    {0x6310, "More data is available for return than is specified in the Le value."},
    {0x6381, "State of non-volatile memory changed. File filled by last write"},
    {0x6400, "Technical problem that has no specified diagnosis."},
    {0x6500, "State of non-volatile memory changed. No information given"},
    {0x6581, "Memory failure"},
    {0x6700,
     "The specified length of the input data (Lc) is incorrect. Either the length is inconsistent "
     "with the security level, or the data field length is inconsistent with the P2 value."},
    {0x6800, "Functions in CLA not supported. No information given"},
    {0x6881, "Functions in CLA not supported. Logical channel not supported"},
    {0x6882, "Functions in CLA not supported. Secure messaging not supported"},
    {0x6900, "Command not allowed. No information given "},
    {0x6981, "Command not allowed. Command incompatible with file structure. No key is specified"},
    {0x6982, "Command not allowed. Security status not satisfied"},
    {0x6983, "Command not allowed. Authentication method blocked. The key is blocked"},
    {0x6984, "Command not allowed. Referenced data invalidated "},
    {0x6985, "Command not allowed. Conditions of use not satisfied "},
    {0x6986, "Command not allowed. Command not allowed (no current EF)"},
    {0x6987,
     "Command not allowed. Expected SM data objects missing. The MAC or other verification data is "
     "missing"},
    {0x6988, "Command not allowed. SM data objects incorrect"},
    {0x6999, "Application selection failed (SelectApplication)."},
    {0x6A00, "Wrong parameter(s) P1-P2. No information given"},
    {0x6A80, "Wrong parameter(s) P1-P2. Incorrect parameters in the data field"},
    {0x6A81, "Wrong parameter(s) P1-P2. Function not supported. The target is locked"},
    {0x6A82, "Wrong parameter(s) P1-P2. File not found"},
    {0x6A83, "Wrong parameter(s) P1-P2. Record not found"},
    {0x6A84, "Wrong parameter(s) P1-P2. Not enough memory space in the file"},
    {0x6A85, "Wrong parameter(s) P1-P2. Lc inconsistent with TLV structure"},
    {0x6A86, "Wrong parameter(s) P1-P2. Incorrect parameters P1-P2 "},
    {0x6A87, "Wrong parameter(s) P1-P2. Lc inconsistent with P1-P2 "},
    {0x6A88, "Wrong parameter(s) P1-P2. Referenced data not found "},
    {0x6B00, "Wrong P1 or P2"},
    {0x6D00, "Instruction code not supported or invalid"},
    {0x6E00, "Class not supported"},
    {0x6F00, "JVM error that has no specified diagnosis"},
    {0x9000, ""},
    {0x9481, "Target has an invalid life-cycle state."},
    {0x9484, "Unsupported algorithm ID in input data (PutKey)."},
    {0x9485, "Invalid key check value in input data (PutKey)."},
};

// Sorted by code. 0x8010002F has two blanks after its first sentence.
constexpr CodeText<std::uint32_t> kSCardErrorTexts[] = {
    {0x80100001, "An internal consistency check failed."},
    {0x80100002, "The action was cancelled by an SCardCancel request."},
    {0x80100003, "The supplied handle was invalid."},
    {0x80100004, "One or more of the supplied parameters could not be properly interpreted."},
    {0x80100005, "Registry startup information is missing or invalid."},
    {0x80100006, "Not enough memory available to complete this command."},
    {0x80100007, "An internal consistency timer has expired."},
    {0x80100008, "The data buffer to receive returned data is too small for the returned data."},
    {0x80100009, "The specified reader name is not recognized."},
    {0x8010000A, "The user-specified timeout value has expired."},
    {0x8010000B, "The smart card cannot be accessed because of other connections outstanding."},
    {0x8010000C,
     "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {0x8010000D, "The specified smart card name is not recognized."},
    {0x8010000E, "The system could not dispose of the media in the requested manner."},
    {0x8010000F,
     "The requested protocols are incompatible with the protocol currently in use with the smart "
     "card."},
    {0x80100010, "The reader or smart card is not ready to accept commands."},
    {0x80100011,
     "One or more of the supplied parameters values could not be properly interpreted."},
    {0x80100012, "The action was cancelled by the system, presumably to log off or shut down."},
    {0x80100013, "An internal communications error has been detected."},
    {0x80100014, "An internal error has been detected, but the source is unknown."},
    {0x80100015, "An ATR obtained from the registry is not a valid ATR string."},
    {0x80100016, "An attempt was made to end a non-existent transaction."},
    {0x80100017, "The specified reader is not currently available for use."},
    {0x80100018, "The operation has been aborted to allow the server application to exit."},
    {0x80100019, "The PCI Receive buffer was too small."},
    {0x8010001A, "The reader driver does not meet minimal requirements for support."},
    {0x8010001B, "The reader driver did not produce a unique reader name."},
    {0x8010001C, "The smart card does not meet minimal requirements for support."},
    {0x8010001D, "The Smart card resource manager is not running."},
    {0x8010001E, "The Smart card resource manager has shut down."},
    {0x8010001F, "An unexpected card error has occurred."},
    {0x80100020, "No Primary Provider can be found for the smart card."},
    {0x80100021, "The requested order of object creation is not supported."},
    {0x80100022, "This smart card does not support the requested feature."},
    {0x80100023, "The identified directory does not exist in the smart card."},
    {0x80100024, "The identified file does not exist in the smart card."},
    {0x80100025, "The supplied path does not represent a smart card directory."},
    {0x80100026, "The supplied path does not represent a smart card file."},
    {0x80100027, "Access is denied to this file."},
    {0x80100028, "The smartcard does not have enough memory to store the information."},
    {0x80100029, "There was an error trying to set the smart card file object pointer."},
    {0x8010002A, "The supplied PIN is incorrect."},
    {0x8010002B, "An unrecognized error code was returned from a layered component."},
    {0x8010002C, "The requested certificate does not exist."},
    {0x8010002D, "The requested certificate could not be obtained."},
    {0x8010002E, "Cannot find a smart card reader."},
    {0x8010002F,
     "A communications error with the smart card has been detected.  Retry the operation."},
    {0x80100030, "The requested key container does not exist on the smart card."},
    {0x80100065,
     "The reader cannot communicate with the smart card, due to ATR configuration conflicts."},
    {0x80100066, "The smart card is not responding to a reset."},
    {0x80100067,
     "Power has been removed from the smart card, so that further communication is not possible."},
    {0x80100068, "The smart card has been reset, so any shared state information is invalid."},
    {0x80100069, "The smart card has been removed, so that further communication is not possible."},
    {0x8010006A, "Access was denied because of a security violation."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006C,
     "The card cannot be accessed because the maximum number of PIN entry attempts has been "
     "reached."},
    {0x8010006D, "The end of the smart card file has been reached."},
    {0x8010006E, "The action was cancelled by the user."},
    {0x8010006F, "No PIN was presented to the smart card."},
};

template <class Code, std::size_t N>
constexpr bool sorted_by_code(const CodeText<Code> (&table)[N]) {
    return std::is_sorted(std::begin(table), std::end(table),
                          [](const auto& a, const auto& b) { return a.code < b.code; });
}
static_assert(sorted_by_code(kStatusWordTexts) && sorted_by_code(kSCardErrorTexts));

template <class Code, std::size_t N>
const char* find_text(const CodeText<Code> (&table)[N], Code code) {
    const auto* it =
        std::lower_bound(std::begin(table), std::end(table), code,
                         [](const CodeText<Code>& row, Code c) { return row.code < c; });
    return it != std::end(table) && it->code == code ? it->text : nullptr;
}

}  // namespace

std::string StatusWordText(std::uint16_t status_word) {
    if (const char* text = find_text(kStatusWordTexts, status_word)) {
        return text;
    }
    const std::uint8_t sw1 = util::TKUMath::HiByte(status_word);
    const std::uint8_t sw2 = util::TKUMath::LoByte(status_word);
    switch (sw1) {
        case 0x63:
            return "State of non-volatile memory changed. Counter: " + util::hex_digits(sw2, 2);
        case 0x6C:
        case 0x61:
            return "Wrong length Le: should be " + util::hex_digits(sw2, 2);
        default:
            return "Unknown error " + util::hex_digits(status_word, 4);
    }
}

std::string SCardErrorText(std::uint32_t code) {
    if (const char* text = find_text(kSCardErrorTexts, code)) {
        return text;
    }
    return "0x" + util::hex_digits(code, 8);
}

namespace {

std::string compose_winapi_message(const std::string& text, std::uint32_t code) {
    if (code == 0) {
        return text;
    }
    return text + "\r\nSmartCard API error #" + std::to_string(code) + "\r\n" +
           SCardErrorText(code);
}

}  // namespace

EKSCardAPIWinAPIException::EKSCardAPIWinAPIException(const std::string& text, std::uint32_t code)
    : util::Exception(compose_winapi_message(text, code)),
      ErrorCode(code),
      m_failure(classify_pcsc(code)) {}

EKSCardAPIWinAPIException::EKSCardAPIWinAPIException(const std::string& text, std::uint32_t code,
                                                     PcscFailure failure)
    : util::Exception(compose_winapi_message(text, code)), ErrorCode(code), m_failure(failure) {}

EKSCardAPIISO7816Excepion::EKSCardAPIISO7816Excepion(const std::string& text,
                                                     std::uint16_t status_word)
    : util::Exception(text + ". ISO7816 error 0x" + util::hex_digits(status_word, 4) + " (" +
                      StatusWordText(status_word) + ")") {}

}  // namespace qel::card
