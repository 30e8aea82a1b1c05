#include "app/journal_records.h"

#include <cctype>

#include "app/insertion_watch.h"
#include "app/qel_sn.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

// syslog's levels, as the journal takes them.
constexpr int kPriorityError = 3;
constexpr int kPriorityWarning = 4;
constexpr int kPriorityNotice = 5;
constexpr int kPriorityInfo = 6;

// journalctl shows a MESSAGE that is not valid UTF-8 as a blob; a reader name from PC/SC may be
// Latin-1. The QEL_ fields keep the bytes as they came, for a match.
log::JournalEntry entry_of(const char* message_id, int priority, const std::string& message) {
    return {"MESSAGE=" + as_utf8(message), std::string("MESSAGE_ID=") + message_id,
            "PRIORITY=" + std::to_string(priority), "SYSLOG_IDENTIFIER=qel_sn"};
}

}  // namespace

log::JournalEntry readout_entry(const ReadoutResult& result, const std::string& reader,
                                std::string_view cause) {
    using Outcome = ReadoutResult::Outcome;
    const std::string& shown_reader = result.reader.empty() ? reader : result.reader;
    log::JournalEntry entry;
    switch (result.outcome) {
        case Outcome::Read: {
            const std::string firmware = util::hex_digits(result.firmware, 4);
            entry = entry_of(kJournalIdRead, kPriorityInfo,
                             "Dongle " + error_line(result.serial) + " read in \"" +
                                 error_line(shown_reader) + "\": firmware " + firmware +
                                 ", error code 0x" + util::hex_digits(result.error_code, 2));
            entry.push_back("QEL_OUTCOME=read");
            entry.push_back("QEL_SERIAL=" + result.serial);
            entry.push_back("QEL_FIRMWARE=" + firmware);
            entry.push_back("QEL_ERROR_CODE=" + std::to_string(result.error_code));
            break;
        }
        case Outcome::NotFound:
        case Outcome::Failed: {
            const bool found = result.outcome == Outcome::Failed;
            entry = entry_of(found ? kJournalIdFailed : kJournalIdNotFound,
                             found ? kPriorityError : kPriorityWarning,
                             error_line(failure_line(result)));
            entry.push_back(found ? "QEL_OUTCOME=failed" : "QEL_OUTCOME=not_found");
            entry.push_back("QEL_FAILURE=" + lf_line_ends(result.failure));
            if (!cause.empty())
                entry.push_back("QEL_CAUSE=" + std::string(cause));
            break;
        }
        case Outcome::Stopped:
            return {};
    }
    // A search over every reader that found no dongle has no reader to name.
    if (!shown_reader.empty())
        entry.push_back("QEL_READER=" + shown_reader);
    return entry;
}

log::JournalEntry service_entry(const std::string& notice) {
    const bool lost =
        notice == kServiceStopped || notice == kServiceNotRunning || notice == kServiceSilent;
    const bool back =
        notice == kServiceBack || notice == kServiceStarted || notice == kServiceAnswers;
    if (!lost && !back)
        return {};
    // A notice is the tail of a "qel_sn: " line; an entry of its own starts with a capital.
    std::string message = notice;
    message.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(message.front())));
    return lost ? entry_of(kJournalIdServiceLost, kPriorityWarning, message)
                : entry_of(kJournalIdServiceBack, kPriorityNotice, message);
}

}  // namespace qel::app
