#pragma once

#include <cstdint>

namespace qel::util {

class TBinaryString {
public:
    TBinaryString() = delete;

    // The character whose code is the byte; no translation of any kind.
    static char ByteToChar(std::uint8_t value) { return static_cast<char>(value); }
};

}  // namespace qel::util
