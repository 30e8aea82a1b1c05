#pragma once

#include <cstdint>
#include <string>

#include "util/Bytes.h"
#include "util/Exception.h"

namespace qel::crypto {

inline constexpr const char* kInvalidKeySize = "Invalid key size";
inline constexpr const char* kCipherNotInitialized = "Cipher not initialized";
inline constexpr const char* kInvalidBase64Text = "Invalid Base64 text";

class EKC_cipher : public util::Exception {
public:
    using util::Exception::Exception;
};

class EKC_blockcipher : public EKC_cipher {
public:
    using EKC_cipher::EKC_cipher;
};

// What every symmetric cipher shares: the key state, the descriptive constants and the
// buffer and string operations. At this level the operations a concrete cipher supplies do
// nothing and the constants are -1 / empty.
//
// A new object is not initialised. Every class of the tree puts its own part of the state
// into the wiped form in its constructor and wipes it again in its destructor: a virtual call
// from a constructor or destructor would only reach the class being built or torn down, never
// the algorithm's override, so the wipe cannot be left to one virtual call in the base.
class TKC_cipher {
public:
    TKC_cipher() = default;
    virtual ~TKC_cipher() = default;

    TKC_cipher(const TKC_cipher&) = delete;
    TKC_cipher& operator=(const TKC_cipher&) = delete;

    virtual std::int32_t Id() const { return -1; }
    virtual std::string Algorithm() const { return {}; }
    // In bits.
    virtual std::int32_t MaxKeySize() const { return -1; }

    virtual bool self_test() const { return false; }

    // `key` holds size/8 bytes (size in bits); `init_vector` is one block, or null for none.
    // Raises EKC_cipher "Invalid key size" unless 0 < size <= MaxKeySize and size is a
    // multiple of 4; the previous key is wiped either way.
    virtual void init(const void* key, std::uint32_t size, const void* init_vector);
    virtual void wipe() { m_initialized = false; }
    virtual void reset() {}

    // `in` and `out` may be the same memory.
    virtual void encrypt_buffer(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}
    virtual void decrypt_buffer(const void* /*in*/, void* /*out*/, std::uint32_t /*size*/) {}

    // Byte string in, Base64 text out, and back.
    virtual util::ByteString encrypt_string(const util::ByteString& text);
    virtual util::ByteString decrypt_string(const std::string& text);

    bool initialized() const { return m_initialized; }

protected:
    // Runs `operation` over a byte string of any length in pieces that fit the 32-bit size of
    // the buffer operations; pieces are whole blocks, so a chain simply continues across them.
    template <typename Operation>
    static void in_place_in_pieces(util::ByteString& bytes, Operation operation);

private:
    bool m_initialized = false;
};

template <typename Operation>
void TKC_cipher::in_place_in_pieces(util::ByteString& bytes, Operation operation) {
    constexpr std::size_t kPiece = 0x7FFFFFF8;  // a multiple of every block size in use
    std::size_t done = 0;
    do {
        const std::size_t piece = bytes.size() - done < kPiece ? bytes.size() - done : kPiece;
        char* p = bytes.data() + done;
        operation(p, p, static_cast<std::uint32_t>(piece));
        done += piece;
    } while (done < bytes.size());
}

}  // namespace qel::crypto
