#pragma once

#include <cstdint>

namespace qel::util {

class TKUMath {
public:
    TKUMath() = delete;

    static std::uint8_t HiByte(std::uint32_t value) { return (value >> 8) & 0xFF; }
    static std::uint8_t LoByte(std::uint32_t value) { return value & 0xFF; }
};

}  // namespace qel::util
