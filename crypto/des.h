#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "crypto/block_cipher.h"
#include "crypto/secure_wipe.h"

namespace qel::crypto {

// The 16 round keys, two words per round (see des.cpp for the packing).
using DesSubkeys = std::array<std::uint32_t, 32>;

// The DES algorithm itself, as plain routines over a caller's round keys. Blocks and keys are
// 8 bytes, most significant bit first; the lowest bit of every key byte is parity and ignored.
class TKC_customdes : public TKC_blockcipher64 {
public:
    static void des_key_schedule(const std::uint8_t* key, DesSubkeys& subkeys) noexcept;
    // `in` and `out` may be the same memory.
    static void des_encrypt_block(const void* in, void* out, const DesSubkeys& subkeys) noexcept;
    static void des_decrypt_block(const void* in, void* out, const DesSubkeys& subkeys) noexcept;
};

// Single DES with one 56-bit key.
class TKC_des final : public TKC_customdes {
public:
    TKC_des() { secure_wipe(m_subkeys.data(), sizeof m_subkeys); }
    ~TKC_des() override { secure_wipe(m_subkeys.data(), sizeof m_subkeys); }

    std::int32_t Id() const override { return 23; }
    std::string Algorithm() const override { return "DES"; }
    std::int32_t MaxKeySize() const override { return 64; }

    // Known answers from the published DES validation data; uses an object of its own and
    // leaves this one untouched.
    bool self_test() const override;

    // Keys shorter than 8 bytes act as if completed with 00 bytes; a size that is not a whole
    // number of bytes uses the bytes below it (4 bits give the all-zero key).
    void key_setup(const void* key, std::uint32_t size) override;
    void wipe() override;

    void encrypt_block(const void* in, void* out) const override {
        check_initialized();
        des_encrypt_block(in, out, m_subkeys);
    }
    void decrypt_block(const void* in, void* out) const override {
        check_initialized();
        des_decrypt_block(in, out, m_subkeys);
    }

    // Several blocks side by side.
    void encrypt_blocks(const void* in, void* out, std::size_t count) const override;
    void decrypt_blocks(const void* in, void* out, std::size_t count) const override;

    // All zero whenever the object holds no key.
    const DesSubkeys& subkeys() const { return m_subkeys; }

protected:
    // Between two blocks the chaining value stays between the initial and final permutation.
    void chain_blocks(Chain chain, const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                      Block& cv) const override;

private:
    DesSubkeys m_subkeys;  // zeroed by the constructor
};

}  // namespace qel::crypto
