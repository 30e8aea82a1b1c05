#include "util/Hex.h"

#include <algorithm>

#include "Exception.h"

namespace qel::util {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes, std::string_view separator) {
    if (bytes.empty())
        return {};
    std::string text(bytes.size() * 2 + (bytes.size() - 1) * separator.size(), '\0');
    char* out = text.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            out = std::copy(separator.begin(), separator.end(), out);
        *out++ = kUpperDigits[bytes[i] >> 4];
        *out++ = kUpperDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string hex_digits(unsigned value, int width) {
    int needed = 1;
    for (unsigned rest = value >> 4; rest != 0; rest >>= 4)
        ++needed;
    std::string text(static_cast<std::size_t>(std::max(needed, width)), '0');
    for (auto digit = text.rbegin(); value != 0; ++digit, value >>= 4)
        *digit = kUpperDigits[value & 0x0F];
    return text;
}

ByteArray from_hex(std::string_view text) {
    if (text.empty())
        return {};
    std::size_t digits = 0;
    for (const char c : text)
        digits += hex_digit_value(c) >= 0;
    if (digits < 2 || digits % 2 != 0)
        throw Exception(kEvenLengthError);

    ByteArray bytes;
    bytes.reserve(digits / 2);
    int high = -1;
    for (const char c : text) {
        const int value = hex_digit_value(c);
        if (value < 0)
            continue;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    return bytes;
}

}  // namespace qel::util
