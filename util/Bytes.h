#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qel::util {

// A byte string is a std::string whose characters are raw bytes, 00 included; its length is
// stored, never found by a terminator. A byte array is a vector of unsigned bytes.
using ByteString = std::string;
using ByteArray = std::vector<std::uint8_t>;

// The characters of a byte string seen as the bytes they are.
inline std::span<const std::uint8_t> byte_span(const ByteString& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::span<std::uint8_t> byte_span(ByteString& text) {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

}  // namespace qel::util
