#pragma once

// Hex text of bytes and bytes of hex text: the one place the library converts between them.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Bytes.h"

namespace qel::util {

inline constexpr const char* kEvenLengthError =
    "Text representation of binary data MUST have even length in StringToByteStream!";

// The value of one hex digit of either case; -1 for any other character.
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Two upper-case digits per byte, `separator` between bytes only (never before the first nor
// after the last).
std::string to_hex(std::span<const std::uint8_t> bytes, std::string_view separator = {});

// `value` in upper-case digits, zero-padded to `width`; a wider value keeps all its digits.
std::string hex_digits(unsigned value, int width);

// Bytes of hex text as the user may type it: only 0-9, A-F and a-f count, everything else
// (blanks, colons, an "x", bytes from 0x80 up) is dropped. An empty text gives no bytes; fewer
// than two digits or an odd number of them raises Exception(kEvenLengthError).
ByteArray from_hex(std::string_view text);

}  // namespace qel::util
