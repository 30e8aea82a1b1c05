#pragma once

// What qel_sn --journal writes to the system journal: one entry per readout outcome, one per
// outage of the PC/SC service during a watch, and one when a watch starts without a reader. Quality
// staff query these fields across stations (QEL_SERIAL=..., _HOSTNAME=...); the message ids are
// explained in the catalog (packaging/qel-sn-reader.catalog), which `journalctl -x` shows beside
// each entry.

#include <string>
#include <string_view>

#include "log/journal.h"
#include "readout/readout.h"

namespace qel::app {

// Fixed once, never to change: a query or an alert may name them.
inline constexpr const char* kJournalIdRead = "c0e28d9f6d3f4d8ebca51253482f1016";
inline constexpr const char* kJournalIdNotFound = "d5f482716e10495db6a35f109f0e8b11";
inline constexpr const char* kJournalIdFailed = "535d8defa9924d2285e35354c8bb04a5";
inline constexpr const char* kJournalIdServiceLost = "d66233c36f524ab18a1a1131fa2f0bdb";
inline constexpr const char* kJournalIdServiceBack = "98d14d3b808b4a3a8c38a5c82e8bfcde";
inline constexpr const char* kJournalIdNoReader = "3d1975f9b0e94d6caf68dba08c234af1";

// The entry of a readout in `reader` (the reader asked for; the dongle's own when it was found).
// A stopped readout has none: the returned entry is empty.
// A failure's entry carries QEL_CAUSE (cause_word) when `cause` is given, and QEL_HINT when
// `hint` is.
log::JournalEntry readout_entry(const ReadoutResult& result, const std::string& reader,
                                std::string_view cause = {}, std::string_view hint = {});

// The entry of a watch notice when it tells of the service going or coming back, or of no reader
// to wait in; empty for any other notice.
log::JournalEntry notice_entry(const std::string& notice);

}  // namespace qel::app
