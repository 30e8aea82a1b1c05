#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qel::util {

// A set of byte values as 256 bits: value c is a member when bit (c mod 8) of byte (c div 8)
// is set.
using CharSet = std::array<std::uint8_t, 32>;

class TKUStrUtils {
public:
    TKUStrUtils() = delete;

    static bool CharInSet(char c, const CharSet& set);

    // Builds a set holding every character of the given text.
    static CharSet make_char_set(std::string_view members);
};

}  // namespace qel::util
