#pragma once

// The fields of one readout, each declared once: its key in --json (and in the diagnosis's
// dongle), its field in the journal entry, and its value. Every output that carries a readout's
// values is made from this table, so a new field is one line here and one in the manual page,
// which the manual-texts check holds to the table.

#include <optional>
#include <string>
#include <vector>

#include "app/readout.h"

namespace qel::app {

// A readout as the front end reports it.
struct ReadoutRecord {
    const ReadoutResult& result;
    // The dongle's reader; when the readout connected none, the reader searched (if one was).
    std::string reader;
    // cause_word of a failure; empty for none.
    std::string cause;
};

struct ReadoutField {
    const char* json;     // nullptr: not in --json
    const char* journal;  // nullptr: not in the journal entry
    bool number;          // a number in --json (decimal in the journal), else a text
    // The value as the card and PC/SC gave it; nothing when the readout has none.
    std::optional<std::string> (*value)(const ReadoutRecord& record);
};

// In the order of --json's keys and of the journal's fields.
const std::vector<ReadoutField>& readout_fields();

}  // namespace qel::app
