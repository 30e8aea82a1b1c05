#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::util {

// A byte string is a std::string whose characters are raw bytes, 00 included; its length is
// stored, never found by a terminator. A byte array is a vector of unsigned bytes.
using ByteString = std::string;
using ByteArray = std::vector<std::uint8_t>;

}  // namespace qel::util
