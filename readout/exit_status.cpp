#include "readout/exit_status.h"

#include <algorithm>

namespace qel::app {

int exit_status(const ReadoutResult& result) {
    switch (result.outcome) {
        case ReadoutResult::Outcome::Read:
            return kExitRead;
        case ReadoutResult::Outcome::NotFound:
            return kExitNotFound;
        case ReadoutResult::Outcome::Failed:
        case ReadoutResult::Outcome::Stopped:
            break;
    }
    return kExitFailed;
}

int worse_exit_status(int a, int b) {
    return std::max(a, b);
}

}  // namespace qel::app
