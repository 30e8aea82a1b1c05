// The cipher framework with any key size, key, initial vector, chaining mode (the enumeration's
// values and any other byte) and data: init accepts exactly the documented key sizes, every mode
// decrypts what it encrypted, works the same in place, continues one chain across calls, and the
// string functions (8-bit CFB under Base64) give back what they took. The base classes, whose
// operations do nothing, go through the same paths. Key and vector buffers are exactly as long as
// the size says, so a read past them is seen.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/block_cipher.h"
#include "crypto/cipher.h"
#include "crypto/des.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using crypto::TKC_blockcipher64;

// A heap copy of exactly `size` bytes: reading one more is an error the sanitizer reports.
std::unique_ptr<std::uint8_t[]> exact_copy(const util::ByteArray& bytes) {
    auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return copy;
}

bool valid_mode(std::uint8_t mode) {
    return mode <= crypto::cmCTR;
}

// Modes whose chain can be split anywhere; the others only between whole blocks (a last partial
// block ends the chain's use).
bool splits_anywhere(std::uint8_t mode) {
    return mode == crypto::cmCFB8bit;
}

util::ByteArray run(crypto::TKC_cipher& cipher, bool encrypting, const util::ByteArray& in) {
    util::ByteArray out(in.size(), 0xA5);
    const auto src = exact_copy(in);
    auto dst = exact_copy(out);
    if (encrypting)
        cipher.encrypt_buffer(src.get(), dst.get(), static_cast<std::uint32_t>(in.size()));
    else
        cipher.decrypt_buffer(src.get(), dst.get(), static_cast<std::uint32_t>(in.size()));
    return util::ByteArray(dst.get(), dst.get() + in.size());
}

void check_des(crypto::TKC_des& des, std::uint8_t mode, const util::ByteArray& data,
               const util::ByteArray& iv, bool with_iv, std::size_t split,
               const std::string& foreign_text) {
    des.CipherMode = static_cast<crypto::TKC_ciphermode>(mode);

    // The vector: the one given, or the key's encryption of a zero block.
    util::ByteArray zero(8, 0), expected_iv = iv;
    if (!with_iv) {
        expected_iv.assign(8, 0);
        des.encrypt_block(zero.data(), expected_iv.data());
    }
    QEL_FUZZ_CHECK(util::ByteArray(des.iv().begin(), des.iv().end()) == expected_iv);
    QEL_FUZZ_CHECK(des.chain_value() == des.iv());

    // One block each way.
    if (data.size() >= 8) {
        util::ByteArray block(data.begin(), data.begin() + 8), enc(8), dec(8);
        des.encrypt_block(block.data(), enc.data());
        des.decrypt_block(enc.data(), dec.data());
        QEL_FUZZ_CHECK(dec == block);
    }

    const util::ByteArray cipher_text = run(des, true, data);
    if (!valid_mode(mode)) {
        // No mode selected: nothing is written.
        QEL_FUZZ_CHECK(cipher_text == util::ByteArray(data.size(), 0xA5));
        QEL_FUZZ_CHECK(des.chain_value() == des.iv());
    } else {
        des.reset();
        QEL_FUZZ_CHECK(run(des, false, cipher_text) == data);

        // In place, the same.
        des.reset();
        auto buffer = exact_copy(data);
        des.encrypt_buffer(buffer.get(), buffer.get(), static_cast<std::uint32_t>(data.size()));
        QEL_FUZZ_CHECK(util::ByteArray(buffer.get(), buffer.get() + data.size()) == cipher_text);

        // Two calls continue one chain.
        if (!splits_anywhere(mode))
            split -= split % 8;
        if (split > data.size())
            split = data.size();
        des.reset();
        util::ByteArray first(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(split));
        util::ByteArray second(data.begin() + static_cast<std::ptrdiff_t>(split), data.end());
        util::ByteArray joined = run(des, true, first);
        const util::ByteArray rest = run(des, true, second);
        joined.insert(joined.end(), rest.begin(), rest.end());
        QEL_FUZZ_CHECK(joined == cipher_text);

        // The chaining value reads back as the vector after a reset.
        des.reset();
        util::ByteArray current(8);
        des.get_iv(current.data());
        QEL_FUZZ_CHECK(current == expected_iv);
    }

    // Strings: 8-bit CFB whatever the mode, under Base64.
    des.reset();
    const util::ByteString text = as_string(data);
    const util::ByteString encoded = des.encrypt_string(text);
    QEL_FUZZ_CHECK(encoded.size() == (text.size() + 2) / 3 * 4);
    des.reset();
    QEL_FUZZ_CHECK(des.decrypt_string(encoded) == text);

    des.reset();
    util::ByteString decrypted;
    std::string error;
    const bool ok = guarded(
        "TKC_des::decrypt_string", [&] { decrypted = des.decrypt_string(foreign_text); },
        [&](const util::Exception& e) { error = e.message(); });
    if (ok) {
        QEL_FUZZ_CHECK(decrypted.size() == crypto::base64_decode(foreign_text).size());
        des.reset();
        QEL_FUZZ_CHECK(crypto::base64_decode(des.encrypt_string(decrypted)) ==
                       crypto::base64_decode(foreign_text));
    } else {
        QEL_FUZZ_CHECK(error == crypto::kInvalidBase64Text);
    }

    // A wipe leaves no key behind, and nothing works without one.
    des.wipe();
    QEL_FUZZ_CHECK(!des.initialized());
    for (std::uint8_t b : des.iv())
        QEL_FUZZ_CHECK(b == 0xFF);
    for (std::uint32_t w : des.subkeys())
        QEL_FUZZ_CHECK(w == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int kind = in.ConsumeIntegralInRange(0, 2);
    const util::ByteArray key = consume_bytes(in, 12);
    // Most often the key's own length in bits; else any size, for init's check.
    std::uint32_t key_bits = static_cast<std::uint32_t>(8 * key.size());
    if (in.ConsumeBool())
        key_bits = in.ConsumeIntegral<std::uint32_t>();
    const bool with_iv = in.ConsumeBool();
    const util::ByteArray iv = in.ConsumeBytes<std::uint8_t>(8);
    const auto mode = in.ConsumeIntegral<std::uint8_t>();
    const auto split = in.ConsumeIntegralInRange<std::size_t>(0, 600);
    const std::string foreign_text = in.ConsumeRandomLengthString(200);
    const util::ByteArray plain = in.ConsumeRemainingBytes<std::uint8_t>();
    if (with_iv && iv.size() != 8)
        return -1;

    std::unique_ptr<crypto::TKC_cipher> cipher;
    if (kind == 0)
        cipher = std::make_unique<crypto::TKC_des>();
    else if (kind == 1)
        cipher = std::make_unique<crypto::TKC_cipher>();
    else
        cipher = std::make_unique<crypto::TKC_blockcipher>();

    // The key buffer holds the bytes the size speaks of, and no more (at most the key given).
    const std::size_t key_bytes = std::min<std::size_t>(key_bits / 8, key.size());
    if (key_bits / 8 > key.size() && key_bits <= 64)
        return -1;
    const auto key_copy =
        exact_copy(util::ByteArray(key.begin(), key.begin() + static_cast<long>(key_bytes)));
    const auto iv_copy = exact_copy(iv);
    std::string init_error;
    const bool initialized = guarded(
        "TKC_cipher::init",
        [&] { cipher->init(key_copy.get(), key_bits, with_iv ? iv_copy.get() : nullptr); },
        [&](const util::Exception& e) { init_error = e.message(); });
    const auto max_bits = static_cast<std::uint32_t>(cipher->MaxKeySize());
    const bool size_ok = key_bits != 0 && key_bits % 4 == 0 && key_bits <= max_bits;
    QEL_FUZZ_CHECK(initialized == size_ok);
    QEL_FUZZ_CHECK(cipher->initialized() == size_ok);
    if (!initialized)
        QEL_FUZZ_CHECK(init_error == crypto::kInvalidKeySize);

    if (kind == 0) {
        auto& des = static_cast<crypto::TKC_des&>(*cipher);
        QEL_FUZZ_CHECK(des.self_test());
        if (initialized) {
            check_des(des, mode, plain, iv, with_iv, split, foreign_text);
        } else {
            // Without a key every mode refuses, and so do the strings.
            des.CipherMode = static_cast<crypto::TKC_ciphermode>(mode);
            std::string error;
            const bool ran = guarded(
                "TKC_des::encrypt_buffer", [&] { run(des, true, plain); },
                [&](const util::Exception& e) { error = e.message(); });
            QEL_FUZZ_CHECK(ran == !valid_mode(mode));
            if (!ran)
                QEL_FUZZ_CHECK(error == crypto::kCipherNotInitialized);
            QEL_FUZZ_CHECK(
                !guarded("TKC_des::encrypt_string", [&] { des.encrypt_string(as_string(plain)); }));
        }
        return 0;
    }

    // The base classes transform nothing: their strings are plain Base64.
    if (auto* block = dynamic_cast<crypto::TKC_blockcipher*>(cipher.get()))
        block->CipherMode = static_cast<crypto::TKC_ciphermode>(mode);
    QEL_FUZZ_CHECK(run(*cipher, true, plain) == util::ByteArray(plain.size(), 0xA5));
    const util::ByteString text = as_string(plain);
    std::string encoded;
    QEL_FUZZ_CHECK(
        guarded("TKC_cipher::encrypt_string", [&] { encoded = cipher->encrypt_string(text); }));
    QEL_FUZZ_CHECK(encoded == crypto::base64_encode(text));
    util::ByteString decoded;
    QEL_FUZZ_CHECK(
        guarded("TKC_cipher::decrypt_string", [&] { decoded = cipher->decrypt_string(encoded); }));
    QEL_FUZZ_CHECK(decoded == text);
    guarded("TKC_cipher::decrypt_string", [&] { cipher->decrypt_string(foreign_text); });
    return 0;
}
