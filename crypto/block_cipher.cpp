#include "crypto/block_cipher.h"

#include <cstring>

#include "crypto/base64.h"

namespace qel::crypto {
namespace {

using Block = TKC_blockcipher64::Block;

inline std::uint64_t load64(const void* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void store64(void* p, std::uint64_t v) {
    std::memcpy(p, &v, 8);
}

// out := a xor b, 8 bytes; out may be a or b.
inline void xor_block(void* out, const void* a, const void* b) {
    store64(out, load64(a) ^ load64(b));
}

inline void increment_counter(Block& counter) {
    for (int i = 7; i >= 0; --i) {
        if (++counter[i] != 0)
            break;
    }
}

}  // namespace

// --- TKC_blockcipher ---

void TKC_blockcipher::encrypt_buffer(const void* in, void* out, std::uint32_t size) {
    switch (CipherMode) {
        case cmCBC:
            encrypt_cbc(in, out, size);
            break;
        case cmCFB8bit:
            encrypt_cfb8(in, out, size);
            break;
        case cmCFBblock:
            encrypt_cfb_block(in, out, size);
            break;
        case cmOFB:
            encrypt_ofb(in, out, size);
            break;
        case cmCTR:
            encrypt_ctr(in, out, size);
            break;
    }
}

void TKC_blockcipher::decrypt_buffer(const void* in, void* out, std::uint32_t size) {
    switch (CipherMode) {
        case cmCBC:
            decrypt_cbc(in, out, size);
            break;
        case cmCFB8bit:
            decrypt_cfb8(in, out, size);
            break;
        case cmCFBblock:
            decrypt_cfb_block(in, out, size);
            break;
        case cmOFB:
            decrypt_ofb(in, out, size);
            break;
        case cmCTR:
            decrypt_ctr(in, out, size);
            break;
    }
}

util::ByteString TKC_blockcipher::encrypt_string(const util::ByteString& text) {
    util::ByteString bytes = text;
    in_place_in_pieces(bytes, [this](const void* in, void* out, std::uint32_t size) {
        encrypt_cfb8(in, out, size);
    });
    return base64_encode(bytes);
}

util::ByteString TKC_blockcipher::decrypt_string(const std::string& text) {
    util::ByteString bytes = base64_decode(text);
    in_place_in_pieces(bytes, [this](const void* in, void* out, std::uint32_t size) {
        decrypt_cfb8(in, out, size);
    });
    return bytes;
}

// --- TKC_blockcipher64 ---

void TKC_blockcipher64::init(const void* key, std::uint32_t size, const void* init_vector) {
    TKC_cipher::init(key, size, init_vector);
    key_setup(key, size);
    if (init_vector != nullptr) {
        std::memcpy(m_iv.data(), init_vector, m_iv.size());
    } else {
        m_iv.fill(0);
        encrypt_block(m_iv.data(), m_iv.data());
    }
    reset();
}

void TKC_blockcipher64::wipe() {
    fill_vectors(0xFF);
    TKC_blockcipher::wipe();
}

void TKC_blockcipher64::reset() {
    check_initialized();
    m_chain_value = m_iv;
}

void TKC_blockcipher64::set_iv(const void* init_vector) {
    check_initialized();
    std::memcpy(m_iv.data(), init_vector, m_iv.size());
    reset();
}

void TKC_blockcipher64::get_iv(void* out) const {
    check_initialized();
    std::memcpy(out, m_chain_value.data(), m_chain_value.size());
}

void TKC_blockcipher64::feedback_tail(const std::uint8_t* in, std::uint8_t* out,
                                      std::uint32_t size) {
    encrypt_block(m_chain_value.data(), m_chain_value.data());
    for (std::uint32_t i = 0; i < size; ++i)
        out[i] = in[i] ^ m_chain_value[i];
}

void TKC_blockcipher64::encrypt_cbc(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t* cv = m_chain_value.data();
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        xor_block(cv, src, cv);
        encrypt_block(cv, cv);
        std::memcpy(dst, cv, 8);
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::decrypt_cbc(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t* cv = m_chain_value.data();
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        alignas(8) std::uint8_t cipher_block[8];
        alignas(8) std::uint8_t plain[8] = {};
        std::memcpy(cipher_block, src, 8);
        decrypt_block(cipher_block, plain);
        xor_block(dst, plain, cv);
        std::memcpy(cv, cipher_block, 8);
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::cfb8(const void* in, void* out, std::uint32_t size, bool encrypting) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    for (std::uint32_t i = 0; i < size; ++i) {
        alignas(8) std::uint8_t stream[8] = {};
        encrypt_block(m_chain_value.data(), stream);
        const std::uint8_t input = src[i];
        const std::uint8_t output = input ^ stream[0];
        dst[i] = output;
        // Shift the register left by one byte and feed the ciphertext byte in at the end.
        std::memmove(m_chain_value.data(), m_chain_value.data() + 1, 7);
        m_chain_value[7] = encrypting ? output : input;
    }
}

void TKC_blockcipher64::encrypt_cfb8(const void* in, void* out, std::uint32_t size) {
    cfb8(in, out, size, true);
}

void TKC_blockcipher64::decrypt_cfb8(const void* in, void* out, std::uint32_t size) {
    cfb8(in, out, size, false);
}

void TKC_blockcipher64::encrypt_cfb_block(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t* cv = m_chain_value.data();
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        encrypt_block(cv, cv);
        xor_block(cv, src, cv);
        std::memcpy(dst, cv, 8);
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::decrypt_cfb_block(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t* cv = m_chain_value.data();
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        alignas(8) std::uint8_t cipher_block[8];
        std::memcpy(cipher_block, src, 8);
        encrypt_block(cv, cv);
        xor_block(dst, cipher_block, cv);
        std::memcpy(cv, cipher_block, 8);
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::output_feedback(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    std::uint8_t* cv = m_chain_value.data();
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        encrypt_block(cv, cv);
        xor_block(dst, src, cv);
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::encrypt_ofb(const void* in, void* out, std::uint32_t size) {
    output_feedback(in, out, size);
}

void TKC_blockcipher64::decrypt_ofb(const void* in, void* out, std::uint32_t size) {
    output_feedback(in, out, size);
}

void TKC_blockcipher64::counter(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    alignas(8) std::uint8_t stream[8] = {};
    for (std::uint32_t n = size / 8; n != 0; --n, src += 8, dst += 8) {
        encrypt_block(m_chain_value.data(), stream);
        increment_counter(m_chain_value);
        xor_block(dst, src, stream);
    }
    if (size % 8 != 0) {
        encrypt_block(m_chain_value.data(), stream);
        increment_counter(m_chain_value);
        for (std::uint32_t i = 0; i < size % 8; ++i)
            dst[i] = src[i] ^ stream[i];
    }
}

void TKC_blockcipher64::encrypt_ctr(const void* in, void* out, std::uint32_t size) {
    counter(in, out, size);
}

void TKC_blockcipher64::decrypt_ctr(const void* in, void* out, std::uint32_t size) {
    counter(in, out, size);
}

}  // namespace qel::crypto
