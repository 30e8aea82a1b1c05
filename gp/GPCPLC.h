#pragma once

#include <cstddef>

namespace qel::gp {

// Layout of the answer to GET DATA 9F7F: tag 9F 7F, length 2A, then the 42 bytes of card
// production life-cycle data. Offsets count from the start of the answer.
struct CplcLayout {
    static constexpr std::size_t kAnswerLength = 45;
    static constexpr std::size_t kICSerialOffset = 15;  // 4 bytes: IC serial number
    static constexpr std::size_t kICSerialLength = 4;
    static constexpr std::size_t kHWIDLength = 8;  // IC serial, IC batch id, module fabricator
};

}  // namespace qel::gp
