#pragma once

// qel_sn's readouts: one (or one per reader with --all), or one per insertion with --watch, each
// reported as its lines, JSON or journal entry, its hint and its exit status, and each bounded by
// --timeout.

#include "cli/cli_options.h"
#include "log/log_place.h"

namespace qel::app {

// Loads the PC/SC library, reads as the options say, and returns the exit status; `log_place`
// is where the log file lies.
int read_dongles(const CliOptions& options, const log::LogPlace& log_place);

}  // namespace qel::app
