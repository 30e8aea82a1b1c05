#include "bench/bench_workflow_ours.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "readout/readout.h"

namespace qel::bench {

namespace {

// The benchmark compares values, not lines; formatting them is the readout's own cost all the
// same.
class DroppedLines final : public app::ReadoutOutput {
public:
    void add(const std::string&) override {}
    void add_status(const std::string&) override {}
};

}  // namespace

DongleReadout ours_readout() {
    std::unique_ptr<app::t_qel_sc_base> dongle;
    DroppedLines lines;
    const app::ReadoutResult result = app::read_dongle(dongle, lines);
    switch (result.outcome) {
        case app::ReadoutResult::Outcome::Read:
            return {result.serial, result.firmware, result.error_word};
        case app::ReadoutResult::Outcome::NotFound:
            if (result.cause)
                std::rethrow_exception(result.cause);
            throw std::runtime_error("Dongle can't be found: " + result.failure);
        case app::ReadoutResult::Outcome::Failed:
            std::rethrow_exception(result.cause);
        case app::ReadoutResult::Outcome::Stopped:
            break;
    }
    throw std::logic_error("the readout stopped, with nobody to stop it");
}

}  // namespace qel::bench
