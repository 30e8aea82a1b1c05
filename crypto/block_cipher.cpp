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

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 8 | p[i];
    return v;
}

inline void store_be64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = static_cast<std::uint8_t>(v);
}

// The modes with independent blocks hand the cipher this many at a time: enough to keep every
// way of an interleaving algorithm busy and to make the one virtual call per piece vanish, small
// enough for the stack.
constexpr std::size_t kPieceBlocks = 64;

// A block as one integer; the chains reach the algorithm through encrypt_block.
struct OneBlockForm {
    const TKC_blockcipher& cipher;

    std::uint64_t enter(const std::uint8_t* block) const { return load64(block); }
    void leave(std::uint64_t state, std::uint8_t* block) const { store64(block, state); }
    std::uint64_t encipher(std::uint64_t state) const {
        alignas(8) std::uint8_t block[8];
        store64(block, state);
        cipher.encrypt_block(block, block);
        return load64(block);
    }
};

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

void TKC_blockcipher64::encrypt_blocks(const void* in, void* out, std::size_t count) const {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    for (; count != 0; --count, src += 8, dst += 8)
        encrypt_block(src, dst);
}

void TKC_blockcipher64::decrypt_blocks(const void* in, void* out, std::size_t count) const {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    for (; count != 0; --count, src += 8, dst += 8)
        decrypt_block(src, dst);
}

void TKC_blockcipher64::chain_blocks(Chain chain, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t count, Block& cv) const {
    chain_in_form(OneBlockForm{*this}, chain, in, out, count, cv);
}

void TKC_blockcipher64::chain(Chain chain, const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    const std::uint32_t whole = size - size % 8;
    chain_blocks(chain, src, dst, whole / 8, m_chain_value);
    if (size % 8 != 0)
        feedback_tail(src + whole, dst + whole, size % 8);
}

void TKC_blockcipher64::encrypt_cbc(const void* in, void* out, std::uint32_t size) {
    chain(Chain::kCbcEncrypt, in, out, size);
}

void TKC_blockcipher64::decrypt_cbc(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    for (std::size_t left = size / 8; left != 0;) {
        const std::size_t n = left < kPieceBlocks ? left : kPieceBlocks;
        // The output may overwrite the input, and each block needs the cipher block before it.
        alignas(8) std::uint8_t cipher_text[kPieceBlocks * 8];
        std::memcpy(cipher_text, src, 8 * n);
        decrypt_blocks(cipher_text, dst, n);
        xor_block(dst, dst, m_chain_value.data());
        for (std::size_t i = 1; i < n; ++i)
            xor_block(dst + 8 * i, dst + 8 * i, cipher_text + 8 * (i - 1));
        std::memcpy(m_chain_value.data(), cipher_text + 8 * (n - 1), 8);
        src += 8 * n;
        dst += 8 * n;
        left -= n;
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
    chain(Chain::kCfbEncrypt, in, out, size);
}

void TKC_blockcipher64::decrypt_cfb_block(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    for (std::size_t left = size / 8; left != 0;) {
        const std::size_t n = left < kPieceBlocks ? left : kPieceBlocks;
        // The key stream of a piece is the encryption of the chaining value and of every cipher
        // block but the piece's last, which becomes the next chaining value.
        alignas(8) std::uint8_t stream[kPieceBlocks * 8];
        std::memcpy(stream, m_chain_value.data(), 8);
        std::memcpy(stream + 8, src, 8 * (n - 1));
        std::memcpy(m_chain_value.data(), src + 8 * (n - 1), 8);
        encrypt_blocks(stream, stream, n);
        for (std::size_t i = 0; i < n; ++i)
            xor_block(dst + 8 * i, src + 8 * i, stream + 8 * i);
        src += 8 * n;
        dst += 8 * n;
        left -= n;
    }
    if (size % 8 != 0)
        feedback_tail(src, dst, size % 8);
}

void TKC_blockcipher64::encrypt_ofb(const void* in, void* out, std::uint32_t size) {
    chain(Chain::kOfb, in, out, size);
}

void TKC_blockcipher64::decrypt_ofb(const void* in, void* out, std::uint32_t size) {
    chain(Chain::kOfb, in, out, size);
}

void TKC_blockcipher64::counter(const void* in, void* out, std::uint32_t size) {
    check_initialized();
    auto* src = static_cast<const std::uint8_t*>(in);
    auto* dst = static_cast<std::uint8_t*>(out);
    alignas(8) std::uint8_t stream[kPieceBlocks * 8];
    for (std::size_t left = size / 8; left != 0;) {
        const std::size_t n = left < kPieceBlocks ? left : kPieceBlocks;
        // Unsigned arithmetic wraps the counter at 2^64, as the mode has it.
        std::uint64_t count = load_be64(m_chain_value.data());
        for (std::size_t i = 0; i < n; ++i)
            store_be64(stream + 8 * i, count++);
        store_be64(m_chain_value.data(), count);
        encrypt_blocks(stream, stream, n);
        for (std::size_t i = 0; i < n; ++i)
            xor_block(dst + 8 * i, src + 8 * i, stream + 8 * i);
        src += 8 * n;
        dst += 8 * n;
        left -= n;
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
