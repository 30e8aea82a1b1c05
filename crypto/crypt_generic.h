#pragma once

#include <cstdint>

#include "util/Bytes.h"

namespace qel::crypto {

// The one door into the cipher layer: single DES over a whole byte string, with a fresh
// cipher and an all-zero initial vector on every call.
class TCryptGeneric {
public:
    TCryptGeneric() = delete;

    // direction: 0 encrypt, 1 decrypt. chaining: 0 ECB, 1 CBC. The key's bytes are the DES
    // key (1 to 8 bytes, completed with 00 bytes).
    //
    // A direction or chaining other than 0 or 1 raises EKC_cipher naming the value, whatever
    // the data and the key. Otherwise only data of a positive multiple of 8 bytes is
    // transformed; anything else comes back unchanged, without a look at the key. A key of 0 or
    // more than 8 bytes raises EKC_cipher "Invalid key size". After either error `result` holds
    // the data unchanged. `result` may be the same object as `key` or `data`.
    static void crypt(const util::ByteString& key, const util::ByteString& data,
                      std::uint8_t direction, std::uint8_t chaining, util::ByteString& result);
};

// Appends `filler` bytes up to the next multiple of `block_size`; a text already of such a
// length (the empty one included) gets none, and so does any text for a block size <= 0.
util::ByteString pad_to_block(const util::ByteString& text, std::int32_t block_size,
                              std::uint8_t filler);

// The next multiple of `block_size` at or above `value`, in 32-bit unsigned arithmetic (so it
// wraps near 2^32). A block size of 0 gives the value unchanged.
std::uint32_t round_up_to_block(std::uint32_t value, std::uint32_t block_size);

}  // namespace qel::crypto
