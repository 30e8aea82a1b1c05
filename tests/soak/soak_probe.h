#pragma once

// What a long run watches of its own process: open descriptors and resident memory, read from
// /proc as an operator would.

namespace qel::soak {

// Entries of /proc/self/fd, less the one the listing itself holds open; -1 when unreadable.
int open_descriptor_count();

// VmRSS of /proc/self/status in KiB; -1 when unreadable.
long resident_kib();

}  // namespace qel::soak
