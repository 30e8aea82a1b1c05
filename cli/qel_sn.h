#pragma once

// The texts of the command-line reader that need no card: the failures of a readout it stopped
// waiting for, and the JSON form of a readout. Its exit statuses, hints and the escaping of
// outside texts are the readout core's (readout/); its options are in cli/cli_options.h.

#include <ctime>
#include <string>
#include <string_view>

#include "readout/exit_status.h"
#include "readout/hints.h"
#include "readout/outside_text.h"
#include "readout/readout.h"

namespace qel::app {

// The failure of a readout whose dongle did not answer within --timeout.
std::string no_answer_text(unsigned seconds);
// The same for the PC/SC service, which hangs or accepts and never answers.
std::string no_service_answer_text(unsigned seconds);

// `text` as a JSON string, quotes included, through as_utf8.
std::string json_string(std::string_view text);

// "2026-12-07T15:20:00Z".
std::string iso8601_utc(std::time_t when);

// One readout as a JSON object on one line, without a line end. `reader` stands in for the
// result's reader when the readout connected none (the reader that was searched, if one was).
// A failure's object carries `cause` (cause_word) when it is given.
std::string readout_json(const ReadoutResult& result, const std::string& reader, std::time_t when,
                         std::string_view cause = {});

}  // namespace qel::app
