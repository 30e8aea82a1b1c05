#pragma once

// qel_sn --diagnose: the report of every step of a readout on standard output, each check
// bounded by --timeout.

#include "cli/cli_options.h"

namespace qel::app {

// Status 1 when a check failed, 0 otherwise (74 when the report could not be written).
int diagnose_machine(const CliOptions& options);

}  // namespace qel::app
