#pragma once

// What each program's exit status means, and the status of a readout. Both programs end with
// them: the window's own are those of its command line.

#include "readout/readout.h"

namespace qel::app {

inline constexpr int kExitRead = 0;
inline constexpr int kExitNotFound = 1;
inline constexpr int kExitFailed = 2;
// The usual status of a command line that cannot be understood (sysexits' EX_USAGE).
inline constexpr int kExitUsage = 64;
// Standard output could not be written (sysexits' EX_IOERR).
inline constexpr int kExitOutput = 74;
// A watch ended because a dongle stopped answering: the command under way cannot be cancelled,
// so the process ends, for a service manager to start it again (sysexits' EX_TEMPFAIL).
inline constexpr int kExitNoAnswer = 75;

// The status a single readout leads to; a readout that was stopped counts as failed.
int exit_status(const ReadoutResult& result);
// Of several readouts the worst counts: failed over not found over read.
int worse_exit_status(int a, int b);

}  // namespace qel::app
