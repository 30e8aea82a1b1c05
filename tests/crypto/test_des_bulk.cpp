// The bulk paths against OpenSSL's single DES: ECB over many blocks, and every mode over whole
// blocks and a tail, at the lengths where side-by-side blocks and pieces of the modes begin and
// end, apart and in place, on aligned and unaligned buffers; the chaining value each leaves is
// where the next call goes on. The same table runs a DES that supplies only the one-block
// operations, so the framework's own paths for such an algorithm are held to the same results.
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "crypto/des.h"

namespace qel::crypto {
namespace {

// DES plugged into the framework through key_setup and the one-block operations alone.
class OneBlockDes final : public TKC_blockcipher64 {
public:
    std::int32_t MaxKeySize() const override { return 64; }
    void key_setup(const void* key, std::uint32_t size) override {
        std::uint8_t buffer[8] = {};
        std::memcpy(buffer, key, size / 8 < 8 ? size / 8 : 8);
        TKC_customdes::des_key_schedule(buffer, m_subkeys);
    }
    void encrypt_block(const void* in, void* out) const override {
        check_initialized();
        TKC_customdes::des_encrypt_block(in, out, m_subkeys);
    }
    void decrypt_block(const void* in, void* out) const override {
        check_initialized();
        TKC_customdes::des_decrypt_block(in, out, m_subkeys);
    }

private:
    DesSubkeys m_subkeys{};
};

using Bytes = std::vector<std::uint8_t>;

struct Reference {
    DES_key_schedule schedule;
    DES_cblock iv;

    void block(const std::uint8_t* in, std::uint8_t* out) const {
        DES_cblock block;
        std::memcpy(block, in, 8);
        DES_ecb_encrypt(&block, reinterpret_cast<DES_cblock*>(out),
                        const_cast<DES_key_schedule*>(&schedule), DES_ENCRYPT);
    }
};

// OpenSSL's encryption of `plain` in one mode, and the chaining value it leaves, which is ours
// too. Our CBC and CFB end a last partial block as one step of output feedback, which leaves the
// enciphered chaining value behind; that step is built from OpenSSL's one-block encryption.
using ReferenceMode = Bytes (*)(const Reference&, const Bytes& plain, Bytes& chain_value);

Bytes reference_ecb(const Reference& ref, const Bytes& plain, Bytes& chain_value) {
    Bytes out(plain.size());
    for (std::size_t i = 0; i < plain.size(); i += 8)
        ref.block(&plain[i], &out[i]);
    chain_value.assign(ref.iv, ref.iv + 8);
    return out;
}

void feedback_tail(const Reference& ref, const Bytes& plain, Bytes& out, Bytes& chain_value) {
    const std::size_t whole = plain.size() / 8 * 8;
    if (whole == plain.size())
        return;
    ref.block(chain_value.data(), chain_value.data());
    for (std::size_t i = whole; i < plain.size(); ++i)
        out[i] = plain[i] ^ chain_value[i - whole];
}

Bytes reference_cbc(const Reference& ref, const Bytes& plain, Bytes& chain_value) {
    Bytes out(plain.size());
    DES_cblock iv;
    std::memcpy(iv, ref.iv, 8);
    DES_ncbc_encrypt(plain.data(), out.data(), long(plain.size() / 8 * 8),
                     const_cast<DES_key_schedule*>(&ref.schedule), &iv, DES_ENCRYPT);
    chain_value.assign(iv, iv + 8);
    feedback_tail(ref, plain, out, chain_value);
    return out;
}

Bytes reference_cfb(const Reference& ref, const Bytes& plain, Bytes& chain_value) {
    Bytes out(plain.size());
    DES_cblock iv;
    std::memcpy(iv, ref.iv, 8);
    int num = 0;
    DES_cfb64_encrypt(plain.data(), out.data(), long(plain.size() / 8 * 8),
                      const_cast<DES_key_schedule*>(&ref.schedule), &iv, &num, DES_ENCRYPT);
    chain_value.assign(iv, iv + 8);
    feedback_tail(ref, plain, out, chain_value);
    return out;
}

Bytes reference_ofb(const Reference& ref, const Bytes& plain, Bytes& chain_value) {
    Bytes out(plain.size());
    DES_cblock iv;
    std::memcpy(iv, ref.iv, 8);
    int num = 0;
    DES_ofb64_encrypt(plain.data(), out.data(), long(plain.size()),
                      const_cast<DES_key_schedule*>(&ref.schedule), &iv, &num);
    chain_value.assign(iv, iv + 8);
    return out;
}

Bytes reference_ctr(const Reference& ref, const Bytes& plain, Bytes& chain_value) {
    Bytes out(plain.size()), counter(ref.iv, ref.iv + 8), stream(8);
    for (std::size_t i = 0; i < plain.size(); i += 8) {
        ref.block(counter.data(), stream.data());
        for (std::size_t j = i; j < plain.size() && j < i + 8; ++j)
            out[j] = plain[j] ^ stream[j - i];
        for (std::size_t b = 8; b-- != 0;) {
            if (++counter[b] != 0)
                break;
        }
    }
    chain_value = counter;
    return out;
}

struct BulkOperation {
    const char* name;
    bool decrypts;      // runs on OpenSSL's output and must give the plain text back
    bool whole_blocks;  // ECB: no tail
    ReferenceMode reference;
    void (*ours)(TKC_blockcipher64&, const std::uint8_t* in, std::uint8_t* out, std::size_t size);
};

const BulkOperation kOperations[] = {
    {"EcbEncrypt", false, true, reference_ecb,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.encrypt_blocks(in, out, size / 8);
     }},
    {"EcbDecrypt", true, true, reference_ecb,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.decrypt_blocks(in, out, size / 8);
     }},
    {"CbcEncrypt", false, false, reference_cbc,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.encrypt_cbc(in, out, std::uint32_t(size));
     }},
    {"CbcDecrypt", true, false, reference_cbc,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.decrypt_cbc(in, out, std::uint32_t(size));
     }},
    {"CfbEncrypt", false, false, reference_cfb,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.encrypt_cfb_block(in, out, std::uint32_t(size));
     }},
    {"CfbDecrypt", true, false, reference_cfb,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.decrypt_cfb_block(in, out, std::uint32_t(size));
     }},
    {"Ofb", false, false, reference_ofb,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.encrypt_ofb(in, out, std::uint32_t(size));
     }},
    {"Ctr", false, false, reference_ctr,
     [](TKC_blockcipher64& c, const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
         c.decrypt_ctr(in, out, std::uint32_t(size));
     }},
};

// Around every boundary of the bulk paths: none, one, two and three blocks (the side-by-side
// groups and what is left of them), odd counts, and the pieces of 64 blocks the modes hand on.
constexpr std::size_t kBlockCounts[] = {0, 1, 2, 3, 4, 5, 7, 9, 63, 64, 65, 129};

struct Layout {
    const char* name;
    std::size_t in_offset, out_offset;  // bytes past an 8-byte boundary
    bool in_place;
};

constexpr Layout kLayouts[] = {{"apart, aligned", 0, 0, false},
                               {"apart, unaligned", 1, 3, false},
                               {"in place, aligned", 0, 0, true},
                               {"in place, unaligned", 5, 5, true}};

struct Implementation {
    const char* name;
    std::unique_ptr<TKC_blockcipher64> (*make)();
};

const Implementation kImplementations[] = {
    {"Des", [] { return std::unique_ptr<TKC_blockcipher64>(std::make_unique<TKC_des>()); }},
    {"OneBlockDes",
     [] { return std::unique_ptr<TKC_blockcipher64>(std::make_unique<OneBlockDes>()); }}};

class BulkAgainstOpenSsl
    : public ::testing::TestWithParam<std::tuple<BulkOperation, Implementation>> {};

TEST_P(BulkAgainstOpenSsl, GivesItsOutputAndChainValueAtEveryLengthAndLayout) {
    const auto& [op, implementation] = GetParam();
    std::mt19937 rng(0x0B1C5EED);
    auto random_bytes = [&rng](std::size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(rng());
        return b;
    };
    for (std::size_t blocks : kBlockCounts) {
        for (std::size_t tail : {0, 5}) {
            if (tail != 0 && op.whole_blocks)
                continue;
            for (const Layout& layout : kLayouts) {
                SCOPED_TRACE(::testing::Message()
                             << blocks << " blocks + " << tail << " bytes, " << layout.name);
                const std::size_t size = 8 * blocks + tail;
                const Bytes key = random_bytes(8), iv = random_bytes(8);
                const Bytes plain = random_bytes(size);
                Reference ref;
                DES_cblock des_key;
                std::memcpy(des_key, key.data(), 8);
                DES_set_key_unchecked(&des_key, &ref.schedule);
                std::memcpy(ref.iv, iv.data(), 8);
                Bytes expected_chain;
                const Bytes cipher_text = op.reference(ref, plain, expected_chain);
                const Bytes& input = op.decrypts ? cipher_text : plain;
                const Bytes& expected = op.decrypts ? plain : cipher_text;

                // One arena for both buffers, so that "in place" is the same bytes; the guard
                // bytes after each buffer must stay as they are.
                Bytes arena(2 * size + 64, 0xEE);
                std::uint8_t* in = arena.data() + layout.in_offset;
                std::uint8_t* out =
                    layout.in_place ? in : arena.data() + size + 32 + layout.out_offset;
                std::copy(input.begin(), input.end(), in);

                const auto cipher = implementation.make();
                cipher->init(key.data(), 64, iv.data());
                op.ours(*cipher, in, out, size);

                EXPECT_EQ(Bytes(out, out + size), expected);
                EXPECT_EQ(Bytes(cipher->chain_value().begin(), cipher->chain_value().end()),
                          expected_chain);
                EXPECT_EQ(out[size], 0xEE) << "written past the output";
                if (!layout.in_place) {
                    EXPECT_EQ(Bytes(in, in + size), input) << "input changed";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BulkAgainstOpenSsl,
                         ::testing::Combine(::testing::ValuesIn(kOperations),
                                            ::testing::ValuesIn(kImplementations)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace qel::crypto
