#pragma once

#include "bench/bench_workflow_floor.h"

namespace qel::bench {

// Our side: the window's workflow without the window. A dongle object, the connection by the
// applet's AID, the parameters reset, serial number, firmware version and error code, and the
// object destroyed again. Throws what the dongle throws, or std::runtime_error with the
// dongle's last error when no card accepts the AID.
DongleReadout ours_readout();

}  // namespace qel::bench
