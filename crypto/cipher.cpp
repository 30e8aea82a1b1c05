#include "crypto/cipher.h"

#include "crypto/base64.h"

namespace qel::crypto {

void TKC_cipher::init(const void* /*key*/, std::uint32_t size, const void* /*init_vector*/) {
    if (m_initialized)
        wipe();
    // MaxKeySize is compared as unsigned, so the base value -1 admits every size.
    const auto max_size = static_cast<std::uint32_t>(MaxKeySize());
    if (size == 0 || size % 4 != 0 || size > max_size)
        throw EKC_cipher(kInvalidKeySize);
    m_initialized = true;
}

util::ByteString TKC_cipher::encrypt_string(const util::ByteString& text) {
    util::ByteString bytes = text;
    in_place_in_pieces(bytes, [this](const void* in, void* out, std::uint32_t size) {
        encrypt_buffer(in, out, size);
    });
    return base64_encode(bytes);
}

util::ByteString TKC_cipher::decrypt_string(const std::string& text) {
    util::ByteString bytes = base64_decode(text);
    in_place_in_pieces(bytes, [this](const void* in, void* out, std::uint32_t size) {
        decrypt_buffer(in, out, size);
    });
    return bytes;
}

}  // namespace qel::crypto
