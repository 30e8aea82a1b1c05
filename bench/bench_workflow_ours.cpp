#include "bench/bench_workflow_ours.h"

#include <memory>
#include <stdexcept>

#include "app/qel_sc_base.h"

namespace qel::bench {

DongleReadout ours_readout() {
    auto dongle = std::make_unique<app::t_qel_sc_base>();
    if (!dongle->connect_by_aid(dongle->applet_aid))
        throw std::runtime_error("Dongle can't be found: " + dongle->get_last_error());
    dongle->reset_params();
    DongleReadout readout;
    readout.serial = dongle->read_serial();
    readout.firmware_version = dongle->read_firmware_version();
    readout.error_code = dongle->read_error_code();
    dongle.reset();
    return readout;
}

}  // namespace qel::bench
