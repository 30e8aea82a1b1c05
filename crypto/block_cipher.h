#pragma once

#include <array>
#include <cstdint>

#include "crypto/cipher.h"
#include "crypto/secure_wipe.h"

namespace qel::crypto {

enum TKC_ciphermode : std::uint8_t {
    cmCBC = 0,
    cmCFB8bit = 1,
    cmCFBblock = 2,
    cmOFB = 3,
    cmCTR = 4,
};

// Adds the chaining mode and the per-mode operations; at this level they do nothing.
class TKC_blockcipher : public TKC_cipher {
public:
    TKC_blockcipher() = default;

    // Used by encrypt_buffer and decrypt_buffer; a value outside the enumeration selects none.
    TKC_ciphermode CipherMode = cmCBC;

    virtual void key_setup(const void* /*key*/, std::uint32_t /*size*/) {}
    // In bits.
    virtual std::int32_t BlockSize() const { return -1; }
    virtual void set_iv(const void* /*init_vector*/) {}
    virtual void get_iv(void* /*out*/) const {}

    // One block, no chaining. `in` and `out` may be the same memory, here as in every mode.
    virtual void encrypt_block(const void* /*in*/, void* /*out*/) const {}
    virtual void decrypt_block(const void* /*in*/, void* /*out*/) const {}

    virtual void encrypt_cbc(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_cbc(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void encrypt_cfb8(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_cfb8(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void encrypt_cfb_block(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_cfb_block(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void encrypt_ofb(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_ofb(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void encrypt_ctr(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_ctr(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}

    void encrypt_buffer(const void* in, void* out, std::uint32_t size) override;
    void decrypt_buffer(const void* in, void* out, std::uint32_t size) override;

    // Text ciphers use 8-bit CFB whatever CipherMode says: it needs no padding.
    util::ByteString encrypt_string(const util::ByteString& text) override;
    util::ByteString decrypt_string(const std::string& text) override;
};

// Every chaining mode for ciphers with 64-bit blocks, on top of the algorithm's key setup and
// one-block operations. The chaining value stays in the object, so consecutive calls continue
// one chain until init, reset or set_iv restarts it.
class TKC_blockcipher64 : public TKC_blockcipher {
public:
    using Block = std::array<std::uint8_t, 8>;

    TKC_blockcipher64() = default;
    ~TKC_blockcipher64() override { fill_vectors(0xFF); }

    std::int32_t BlockSize() const override { return 64; }

    // Without an initial vector the vector is the encryption of a zero block under the key.
    void init(const void* key, std::uint32_t size, const void* init_vector) override;
    void wipe() override;
    void reset() override;
    void set_iv(const void* init_vector) override;
    // The current chaining value, which is the initial vector only right after init, reset or
    // set_iv.
    void get_iv(void* out) const override;

    // A last partial block is never padded: in CBC, CFB and OFB it is enciphered as one step
    // of output feedback from the chaining value, identically in both directions.
    void encrypt_cbc(const void* in, void* out, std::uint32_t size) override;
    void decrypt_cbc(const void* in, void* out, std::uint32_t size) override;
    void encrypt_cfb8(const void* in, void* out, std::uint32_t size) override;
    void decrypt_cfb8(const void* in, void* out, std::uint32_t size) override;
    void encrypt_cfb_block(const void* in, void* out, std::uint32_t size) override;
    void decrypt_cfb_block(const void* in, void* out, std::uint32_t size) override;
    void encrypt_ofb(const void* in, void* out, std::uint32_t size) override;
    void decrypt_ofb(const void* in, void* out, std::uint32_t size) override;
    // The counter is the chaining value read as a 64-bit big-endian number, wrapping at 2^64.
    void encrypt_ctr(const void* in, void* out, std::uint32_t size) override;
    void decrypt_ctr(const void* in, void* out, std::uint32_t size) override;

    const Block& iv() const { return m_iv; }
    const Block& chain_value() const { return m_chain_value; }

protected:
    // Raises EKC_blockcipher "Cipher not initialized" on an object without a key.
    void check_initialized() const {
        if (!initialized())
            throw EKC_blockcipher(kCipherNotInitialized);
    }

private:
    // The vectors derive from the key (the default one is a ciphertext), so they are wiped
    // as key material is.
    void fill_vectors(std::uint8_t value) noexcept {
        secure_fill(m_iv.data(), m_iv.size(), value);
        secure_fill(m_chain_value.data(), m_chain_value.size(), value);
    }
    void cfb8(const void* in, void* out, std::uint32_t size, bool encrypting);
    void output_feedback(const void* in, void* out, std::uint32_t size);
    void counter(const void* in, void* out, std::uint32_t size);
    void feedback_tail(const std::uint8_t* in, std::uint8_t* out, std::uint32_t size);

    // FF bytes whenever the object holds no key.
    alignas(8) Block m_iv = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    alignas(8) Block m_chain_value = m_iv;
};

}  // namespace qel::crypto
