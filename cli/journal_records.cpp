#include "cli/journal_records.h"

#include <cctype>

#include "cli/qel_sn.h"
#include "readout/insertion_watch.h"
#include "readout/readout_fields.h"
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
                                std::string_view cause, std::string_view hint) {
    using Outcome = ReadoutResult::Outcome;
    const ReadoutRecord record{result, result.reader.empty() ? reader : result.reader,
                               std::string(cause), std::string(hint)};
    log::JournalEntry entry;
    switch (result.outcome) {
        case Outcome::Read:
            entry = entry_of(kJournalIdRead, kPriorityInfo, error_line(readout_sentence(record)));
            break;
        case Outcome::NotFound:
        case Outcome::Failed: {
            const bool found = result.outcome == Outcome::Failed;
            entry = entry_of(found ? kJournalIdFailed : kJournalIdNotFound,
                             found ? kPriorityError : kPriorityWarning,
                             error_line(failure_line(result)));
            break;
        }
        case Outcome::Stopped:
            return {};
    }
    // The fields keep the bytes as the card and PC/SC gave them; MESSAGE is for reading.
    for (const ReadoutField& field : readout_fields()) {
        if (field.journal == nullptr)
            continue;
        if (const std::optional<std::string> value = field.value(record))
            entry.push_back(std::string(field.journal) + "=" + *value);
    }
    return entry;
}

log::JournalEntry notice_entry(const std::string& notice) {
    const bool lost =
        notice == kServiceStopped || notice == kServiceNotRunning || notice == kServiceSilent;
    const bool back =
        notice == kServiceBack || notice == kServiceStarted || notice == kServiceAnswers;
    const bool no_reader = notice == kNoReader;
    if (!lost && !back && !no_reader)
        return {};
    // A notice is the tail of a "qel_sn: " line; an entry of its own starts with a capital.
    std::string message = notice;
    message.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(message.front())));
    if (no_reader)
        return entry_of(kJournalIdNoReader, kPriorityNotice, message);
    return lost ? entry_of(kJournalIdServiceLost, kPriorityWarning, message)
                : entry_of(kJournalIdServiceBack, kPriorityNotice, message);
}

}  // namespace qel::app
