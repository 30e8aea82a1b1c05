#include "crypto/crypt_generic.h"

#include <array>
#include <string>

#include "crypto/des.h"
#include "crypto/secure_wipe.h"
#include "util/TByteArray.h"

namespace qel::crypto {
namespace {

constexpr std::size_t kBlockBytes = 8;
constexpr std::size_t kKeyBufferSize = 24;
// The buffer operations take 32-bit sizes; longer data goes through in whole-block pieces,
// which continue one CBC chain exactly as a single call would.
constexpr std::size_t kPiece = 0x7FFFFFF8;

// Holds a copy of the key for the length of one call and wipes it on every way out.
struct KeyBuffer {
    std::array<std::uint8_t, kKeyBufferSize> bytes{};
    ~KeyBuffer() { secure_wipe(bytes.data(), bytes.size()); }
};

}  // namespace

void TCryptGeneric::crypt(const util::ByteString& key, const util::ByteString& data,
                          std::uint8_t direction, std::uint8_t chaining, util::ByteString& result) {
    // The key is staged before `result` is written, so a caller may pass the same string as
    // key and result. A key that does not fit the buffer is refused by the copy as a whole.
    const std::size_t key_length = key.size();
    KeyBuffer key_buffer;
    util::CopyStringToBytes(key, key_buffer.bytes.data(), key_buffer.bytes.size(), 0, 0, 0);

    result = data;
    // A mode mix-up is the caller's fault whatever the data; checked before the length so that
    // short data cannot hide it.
    if (direction > 1) {
        throw EKC_cipher("Unknown cipher direction " + std::to_string(direction) +
                         ": 0 encrypts, 1 decrypts");
    }
    if (chaining > 1) {
        throw EKC_cipher("Unknown cipher chaining " + std::to_string(chaining) +
                         ": 0 is ECB, 1 is CBC");
    }
    const std::size_t n = result.size();
    if (n == 0 || n % kBlockBytes != 0)
        return;

    TKC_des cipher;
    // Sizes in bits beyond the buffer are refused here: 8 x length in 32 bits could wrap into
    // a size the cipher would accept.
    if (key_length > kKeyBufferSize)
        throw EKC_cipher(kInvalidKeySize);
    const std::uint8_t zero_iv[kBlockBytes] = {};
    cipher.init(key_buffer.bytes.data(), static_cast<std::uint32_t>(8 * key_length), zero_iv);

    char* p = result.data();
    if (chaining == 0) {
        for (std::size_t i = 0; i < n; i += kBlockBytes) {
            if (direction == 0) {
                cipher.encrypt_block(p + i, p + i);
            } else {
                cipher.decrypt_block(p + i, p + i);
            }
        }
    } else {
        for (std::size_t done = 0; done < n; done += kPiece) {
            const auto piece = static_cast<std::uint32_t>(n - done < kPiece ? n - done : kPiece);
            if (direction == 0) {
                cipher.encrypt_cbc(p + done, p + done, piece);
            } else {
                cipher.decrypt_cbc(p + done, p + done, piece);
            }
        }
    }
    // Leaving the scope destroys the cipher, which wipes its key material as wipe() would.
}

util::ByteString pad_to_block(const util::ByteString& text, std::int32_t block_size,
                              std::uint8_t filler) {
    util::ByteString result = text;
    if (block_size <= 0)
        return result;
    const auto size = static_cast<std::size_t>(block_size);
    const std::size_t rest = text.size() % size;
    if (rest != 0)
        result.append(size - rest, static_cast<char>(filler));
    return result;
}

std::uint32_t round_up_to_block(std::uint32_t value, std::uint32_t block_size) {
    if (block_size == 0)
        return value;
    const std::uint32_t rest = value % block_size;
    return rest == 0 ? value : value + block_size - rest;
}

}  // namespace qel::crypto
