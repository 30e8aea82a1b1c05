#pragma once

#include "bench/bench_workflow_floor.h"

namespace qel::bench {

// Our side: the readout the window runs, without the window and with its lines dropped. A
// dongle object, the connection by the applet's AID, the parameters reset, serial number,
// firmware version and error code, and the object destroyed again. Throws what the dongle threw,
// or std::runtime_error with the not-found line when no card accepts the AID.
DongleReadout ours_readout();

}  // namespace qel::bench
