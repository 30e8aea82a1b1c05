#include "crypto/base64.h"

#include <array>
#include <cstdint>

#include "crypto/cipher.h"

namespace qel::crypto {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::int8_t kPad = -2;
constexpr std::int8_t kInvalid = -1;

constexpr std::array<std::int8_t, 256> make_decode_table() {
    std::array<std::int8_t, 256> table{};
    table.fill(kInvalid);
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = std::int8_t(i);
    table['='] = kPad;
    return table;
}

constexpr auto kDecode = make_decode_table();

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16 |
                                std::uint32_t(std::uint8_t(bytes[i + 1])) << 8 |
                                std::uint8_t(bytes[i + 2]);
        text += kAlphabet[v >> 18];
        text += kAlphabet[(v >> 12) & 63];
        text += kAlphabet[(v >> 6) & 63];
        text += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest != 0) {
        std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (rest == 2)
            v |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        text += kAlphabet[v >> 18];
        text += kAlphabet[(v >> 12) & 63];
        text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

util::ByteString base64_decode(std::string_view text) {
    util::ByteString bytes;
    bytes.reserve(text.size() / 4 * 3);
    bool padded = false;
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        std::int8_t d[4];
        for (int j = 0; j < 4; ++j)
            d[j] = kDecode[static_cast<unsigned char>(text[i + j])];
        // Padding may only close the data: "xx==" or "xxx=", and nothing may follow it.
        const int pads = (d[3] == kPad) + (d[2] == kPad && d[3] == kPad);
        const bool bad = padded || d[0] < 0 || d[1] < 0 ||
                         (d[2] < 0 && !(d[2] == kPad && pads == 2)) || (d[3] < 0 && d[3] != kPad);
        if (bad)
            throw EKC_cipher(kInvalidBase64Text);
        const std::uint32_t v = std::uint32_t(d[0]) << 18 | std::uint32_t(d[1]) << 12 |
                                std::uint32_t(pads == 2 ? 0 : d[2]) << 6 |
                                std::uint32_t(pads >= 1 ? 0 : d[3]);
        bytes += static_cast<char>(v >> 16);
        if (pads < 2)
            bytes += static_cast<char>((v >> 8) & 0xFF);
        if (pads < 1)
            bytes += static_cast<char>(v & 0xFF);
        padded = pads > 0;
    }
    return bytes;
}

}  // namespace qel::crypto
