#pragma once

// The floor of the benchmark: the dongle readout made with the very PC/SC calls our library
// makes, straight on pcsc-lite, with nothing between the calls but what they need.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bench/bench_workflow_pcsc.h"

namespace qel::bench {

// What one readout gives, in the form the window shows it.
struct DongleReadout {
    std::string serial;  // the first 4 serial bytes as upper-case hex text
    std::uint16_t firmware_version = 0;
    std::uint16_t error_code = 0;

    bool operator==(const DongleReadout&) const = default;
};

std::string describe(const DongleReadout& readout);

class FloorError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Context, reader list, exclusive connection of the first card that accepts the dongle's AID
// (ATR read by attribute, then by status, as our channel does), the three dongle commands,
// disconnection and release, all through `pcsc`. Throws FloorError naming the call that failed
// or the status word other than 90 00; everything acquired is released.
DongleReadout floor_readout(const PcscFunctions& pcsc);

}  // namespace qel::bench
