#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

    // ECB over `count` whole blocks, each one encrypt_block or decrypt_block; `in` and `out` may
    // be the same memory. An algorithm overrides these to work on several blocks at once, which
    // is also what the modes with independent blocks (CBC and CFB decryption, CTR) run on; here
    // they go one block at a time.
    virtual void encrypt_blocks(const void* in, void* out, std::size_t count) const;
    virtual void decrypt_blocks(const void* in, void* out, std::size_t count) const;

    const Block& iv() const { return m_iv; }
    const Block& chain_value() const { return m_chain_value; }

protected:
    // The modes whose every block waits for the one before it, over whole blocks.
    enum class Chain : std::uint8_t {
        kCbcEncrypt,  // C := E(P xor CV); CV := C
        kCfbEncrypt,  // C := P xor E(CV); CV := C
        kOfb,         // CV := E(CV); C := P xor CV
    };

    // Runs `chain` over `count` blocks from `cv`, which holds the chaining value afterwards. An
    // algorithm overrides it to run chain_in_form with its own working form of a block; this one
    // goes through encrypt_block.
    virtual void chain_blocks(Chain chain, const std::uint8_t* in, std::uint8_t* out,
                              std::size_t count, Block& cv) const;

    // The chains, written once for every algorithm, over `form`, its working form of a block:
    //   State enter(const std::uint8_t* block) const;   bytes into the form
    //   void leave(const State&, std::uint8_t* block) const;   and back
    //   State encipher(const State&) const;   E, from the form into the form
    // with State ^ State as the xor of the blocks. Every linear step an algorithm takes before
    // and after its rounds (as DES its initial and final permutation) commutes with the xor, so
    // a form that leaves them out keeps them off the chain's critical path: between two blocks
    // the chaining value never leaves the form.
    template <typename Form>
    static void chain_in_form(const Form& form, Chain chain, const std::uint8_t* in,
                              std::uint8_t* out, std::size_t count, Block& cv);

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
    // A serial chain over whole blocks and the feedback tail.
    void chain(Chain chain, const void* in, void* out, std::uint32_t size);
    void cfb8(const void* in, void* out, std::uint32_t size, bool encrypting);
    void counter(const void* in, void* out, std::uint32_t size);
    void feedback_tail(const std::uint8_t* in, std::uint8_t* out, std::uint32_t size);

    // FF bytes whenever the object holds no key.
    alignas(8) Block m_iv = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    alignas(8) Block m_chain_value = m_iv;
};

template <typename Form>
void TKC_blockcipher64::chain_in_form(const Form& form, Chain chain, const std::uint8_t* in,
                                      std::uint8_t* out, std::size_t count, Block& cv) {
    if (count == 0)
        return;
    const auto xor8 = [](std::uint8_t* to, const std::uint8_t* a, const std::uint8_t* b) {
        std::uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        x ^= y;
        std::memcpy(to, &x, 8);
    };
    switch (chain) {
        case Chain::kCbcEncrypt: {
            // The first block is mixed with the chaining value as bytes: one step into the form.
            std::uint8_t first[8];
            xor8(first, in, cv.data());
            auto state = form.encipher(form.enter(first));
            form.leave(state, out);
            while (--count != 0) {
                in += 8;
                out += 8;
                state = form.encipher(state ^ form.enter(in));
                form.leave(state, out);
            }
            std::memcpy(cv.data(), out, 8);
            break;
        }
        case Chain::kCfbEncrypt: {
            auto state = form.enter(cv.data());
            for (; count != 0; --count, in += 8, out += 8) {
                state = form.enter(in) ^ form.encipher(state);
                form.leave(state, out);
            }
            std::memcpy(cv.data(), out - 8, 8);
            break;
        }
        case Chain::kOfb: {
            auto state = form.enter(cv.data());
            for (; count != 0; --count, in += 8, out += 8) {
                state = form.encipher(state);
                form.leave(state, cv.data());
                xor8(out, in, cv.data());
            }
            break;
        }
    }
}

}  // namespace qel::crypto
