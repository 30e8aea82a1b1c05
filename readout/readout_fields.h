#pragma once

// The fields of one readout, each declared once: its key in --json (and in the diagnosis's
// dongle), its field in the journal entry, how the sentence of a readout says it, and its value.
// Every output that carries a readout's values is made from this table, so a new field is one
// line here and one in the manual page, which the manual-texts check holds to the table.

#include <optional>
#include <string>
#include <vector>

#include "readout/readout.h"

namespace qel::app {

// A readout as the front end reports it.
struct ReadoutRecord {
    const ReadoutResult& result;
    // The dongle's reader; when the readout connected none, the reader searched (if one was).
    std::string reader;
    // cause_word of a failure; empty for none.
    std::string cause;
    // The hint of a failure, for the journal alone (JSON gives the cause); empty for none.
    std::string hint = {};
};

struct ReadoutField {
    const char* json;     // nullptr: not in --json
    const char* journal;  // nullptr: not in the journal entry
    bool number;          // a number in --json (decimal in the journal), else a text
    // The value as the card and PC/SC gave it; nothing when the readout has none.
    std::optional<std::string> (*value)(const ReadoutRecord& record);
    // Its words in readout_sentence after the subject ("firmware 010A"); nullptr: not said
    // there (the subject's own fields, and those of a failure).
    std::string (*said)(const std::string& value) = nullptr;
};

// In the order of --json's keys, of the journal's fields and of the sentence's words.
const std::vector<ReadoutField>& readout_fields();

// A readout that read its dongle in one sentence, for people: the journal's MESSAGE and the
// diagnosis's finding. "Dongle 0A1B2C3D read in "READER": firmware 010A, error code 0x2A, ATR
// 3B759400006202020301". The card's and PC/SC's texts in it are as they came: each output
// escapes the sentence as it escapes the rest of its text.
std::string readout_sentence(const ReadoutRecord& record);

}  // namespace qel::app
