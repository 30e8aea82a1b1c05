#pragma once

// qel_sn's command line: its options, each declared once with the value it takes and what the
// help says of it, and the usage and help made from them.

#include <optional>
#include <string>
#include <vector>

#include "log/log_place.h"

namespace qel::app {

// How long a readout may wait for its dongle unless --timeout says otherwise.
inline constexpr unsigned kDefaultTimeoutSeconds = 30;

struct CliOptions {
    bool json = false;
    bool journal = false;  // each readout as an entry of the system journal, not on stdout
    bool all = false;
    std::string reader;     // --reader; empty: any reader
    bool watch = false;     // read each dongle once per insertion until SIGINT or SIGTERM
    bool diagnose = false;  // look at every step of a readout and say what to fix
    bool help = false;
    bool version = false;
    unsigned timeout_seconds = kDefaultTimeoutSeconds;  // per readout; 0: no limit
};

// Strict parsing of the arguments after the program name. Returns the error text of a command
// line that cannot be understood, or nothing. Not for two threads at once: it runs getopt_long,
// whose state is the process's.
std::optional<std::string> parse_cli_options(const std::vector<std::string>& args,
                                             CliOptions& options);

// `log_place` is where this program's log file lies, for the help text.
std::string usage_text(const log::LogPlace& log_place);
std::string short_usage_text();

}  // namespace qel::app
