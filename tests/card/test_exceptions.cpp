#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "card/KSCardAPIExceptions.h"

namespace qel::card {
namespace {

struct Row {
    std::uint32_t code;
    const char* text;
};

// Typed out row by row from the message tables, trailing blanks included.
const Row kStatusWordRows[] = {
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
    {0x9481, "Target has an invalid life-cycle state."},
    {0x9484, "Unsupported algorithm ID in input data (PutKey)."},
    {0x9485, "Invalid key check value in input data (PutKey)."},
    {0x9000, ""},
};

const Row kSCardErrorRows[] = {
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

TEST(MessageTables, EveryStatusWordRowGivesItsText) {
    for (const auto& row : kStatusWordRows) {
        EXPECT_EQ(StatusWordText(static_cast<std::uint16_t>(row.code)), row.text)
            << std::hex << row.code;
    }
}

TEST(MessageTables, EveryPcscCodeRowGivesItsText) {
    for (const auto& row : kSCardErrorRows) {
        EXPECT_EQ(SCardErrorText(row.code), row.text) << std::hex << row.code;
    }
}

TEST(MessageTables, StatusWordsOutsideTheTableFallToTheRules) {
    const Row cases[] = {
        {0x63C3, "State of non-volatile memory changed. Counter: C3"},
        {0x6301, "State of non-volatile memory changed. Counter: 01"},
        {0x6C10, "Wrong length Le: should be 10"},
        {0x6110, "Wrong length Le: should be 10"},
        {0x6CAB, "Wrong length Le: should be AB"},
        {0x6A89, "Unknown error 6A89"},
        {0x6285, "Unknown error 6285"},
        {0x9001, "Unknown error 9001"},
        {0x0000, "Unknown error 0000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StatusWordText(static_cast<std::uint16_t>(c.code)), c.text) << std::hex << c.code;
    }
}

TEST(MessageTables, PcscCodesOutsideTheTableShowAsEightHexDigits) {
    const Row cases[] = {
        {0x80100031, "0x80100031"}, {0x80100064, "0x80100064"}, {0x8010003A, "0x8010003A"},
        {0x00000006, "0x00000006"}, {0xFFFFFFFF, "0xFFFFFFFF"}, {0x80100000, "0x80100000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SCardErrorText(c.code), c.text) << std::hex << c.code;
    }
}

TEST(WinApiException, CodeZeroLeavesTheTextAlone) {
    const EKSCardAPIWinAPIException e("Card-Reader is not found", 0);
    EXPECT_STREQ(e.what(), "Card-Reader is not found");
    EXPECT_EQ(e.ErrorCode, 0u);
}

TEST(WinApiException, CodeGivesThreeLinesWithTheCodeInUnsignedDecimal) {
    const struct {
        const char* text;
        std::uint32_t code;
        const char* message;
    } cases[] = {
        {"SCardTransmit error", 0x80100069,
         "SCardTransmit error\r\nSmartCard API error #2148532329\r\nThe smart card has been "
         "removed, so that further communication is not possible."},
        {"Error when listing readers", 0x8010002E,
         "Error when listing readers\r\nSmartCard API error #2148532270\r\nCannot find a smart "
         "card reader."},
        {"Error getting card ATR!", 6,
         "Error getting card ATR!\r\nSmartCard API error #6\r\n0x00000006"},
    };
    for (const auto& c : cases) {
        const EKSCardAPIWinAPIException e(c.text, c.code);
        EXPECT_EQ(std::string(e.what()), c.message);
        EXPECT_EQ(e.ErrorCode, c.code);
    }
}

// Every code a caller acts on, and what it means; the exception carries the judgement.
TEST(WinApiException, CarriesWhatItsCodeMeans) {
    const struct {
        std::uint32_t code;
        PcscFailure failure;
    } cases[] = {
        {0, PcscFailure::None},
        {0x8010001D, PcscFailure::ServiceGone},  // no service
        {0x8010001E, PcscFailure::ServiceGone},  // service stopped
        {0x80100003, PcscFailure::ServiceGone},  // a handle the restarted service does not know
        {0x80100013, PcscFailure::ServiceGone},  // the connection broke during the call
        {0x8010002E, PcscFailure::NoReader},     // no readers available
        {0x80100009, PcscFailure::ReaderGone},   // unknown reader
        {0x80100017, PcscFailure::ReaderGone},   // reader unavailable
        {0x8010000C, PcscFailure::NoCard},       // no smart card
        {0x80100069, PcscFailure::CardRemoved},  // removed card
        {0x8010000B, PcscFailure::CardInUse},    // sharing violation
        {0x80100016, PcscFailure::CardLost},     // not transacted
        {0x80100002, PcscFailure::Interrupted},  // cancelled
        {0x8010000A, PcscFailure::Interrupted},  // timeout
        {0x8010006A, PcscFailure::Other},        // security violation
        {6, PcscFailure::Other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EKSCardAPIWinAPIException("call", c.code).failure(), c.failure)
            << std::hex << c.code;
    }
}

TEST(Iso7816Exception, ComposesOneLineWithTheStatusWordAndItsText) {
    const struct {
        const char* text;
        std::uint16_t status_word;
        const char* message;
    } cases[] = {
        {"Card returned error message ", 0x6A82,
         "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File not "
         "found)"},
        {"Send + Receive error", 0x6A88,
         "Send + Receive error. ISO7816 error 0x6A88 (Wrong parameter(s) P1-P2. Referenced data "
         "not found )"},
        {"Card returned error message ", 0x6CAB,
         "Card returned error message . ISO7816 error 0x6CAB (Wrong length Le: should be AB)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::string(EKSCardAPIISO7816Excepion(c.text, c.status_word).what()), c.message);
    }
}

TEST(CardExceptions, BothAreTheSystemsGeneralException) {
    try {
        throw EKSCardAPIISO7816Excepion("Send + Receive error", 0x6D00);
    } catch (const util::Exception& e) {
        EXPECT_STREQ(
            e.what(),
            "Send + Receive error. ISO7816 error 0x6D00 (Instruction code not supported or "
            "invalid)");
    }
    try {
        throw EKSCardAPIWinAPIException("Unknown data send method", 0);
    } catch (const util::Exception& e) {
        EXPECT_STREQ(e.what(), "Unknown data send method");
    }
}

}  // namespace
}  // namespace qel::card
