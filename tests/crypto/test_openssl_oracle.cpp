// Differential tests against OpenSSL's single DES. OpenSSL only provides the standard modes;
// the tails of CBC and the counter mode are built from its one-block encryption.
#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <cstring>
#include <iostream>
#include <random>

#include "crypto/crypt_generic.h"
#include "crypto/des.h"
#include "crypto_test_util.h"

namespace qel::crypto {
namespace {

constexpr std::uint32_t kSeed = 0x5EED0DE5;
constexpr int kRounds = 3000;

class Oracle : public ::testing::Test {
protected:
    void SetUp() override {
        std::cout << "random seed " << kSeed << "\n";
        RecordProperty("seed", std::to_string(kSeed));
    }

    std::string random_bytes(std::size_t n) {
        std::string s(n, '\0');
        for (auto& c : s)
            c = static_cast<char>(rng() & 0xFF);
        return s;
    }

    // A fresh key in both libraries, and a fresh vector.
    void next_case(std::size_t max_length) {
        key = random_bytes(8);
        iv = random_bytes(8);
        plain = random_bytes(rng() % (max_length + 1));
        des.init(key.data(), 64, iv.data());
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key.data()), &schedule);
    }

    std::string oracle_block(std::string block) {
        DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(block.data()),
                        reinterpret_cast<DES_cblock*>(block.data()), &schedule, DES_ENCRYPT);
        return block;
    }

    DES_cblock* oracle_iv() {
        std::memcpy(register_, iv.data(), 8);
        return &register_;
    }

    template <typename Op>
    std::string ours(Op op, const std::string& in) {
        std::string out(in.size(), '\0');
        des.reset();
        (des.*op)(in.data(), out.data(), static_cast<std::uint32_t>(in.size()));
        return out;
    }

    std::mt19937 rng{kSeed};
    TKC_des des;
    DES_key_schedule schedule;
    std::string key, iv, plain;
    DES_cblock register_;  // OpenSSL's chaining register, updated by its calls
};

unsigned char* uc(std::string& s) {
    return reinterpret_cast<unsigned char*>(s.data());
}

TEST_F(Oracle, EcbBlocks) {
    for (int i = 0; i < kRounds; ++i) {
        next_case(8);
        plain = random_bytes(8);
        std::string out(8, '\0');
        des.encrypt_block(plain.data(), out.data());
        ASSERT_EQ(out, oracle_block(plain)) << "case " << i;
        des.decrypt_block(out.data(), out.data());
        ASSERT_EQ(out, plain) << "case " << i;
    }
}

TEST_F(Oracle, CbcWithFeedbackTail) {
    for (int i = 0; i < kRounds; ++i) {
        next_case(100);
        const std::size_t whole = plain.size() / 8 * 8;
        std::string expected(plain.size(), '\0');
        DES_ncbc_encrypt(uc(plain), uc(expected), long(whole), &schedule, oracle_iv(), DES_ENCRYPT);
        if (whole != plain.size()) {
            const std::string stream =
                oracle_block(std::string(reinterpret_cast<char*>(register_), 8));
            for (std::size_t j = whole; j < plain.size(); ++j)
                expected[j] = plain[j] ^ stream[j - whole];
        }
        ASSERT_EQ(ours(&TKC_des::encrypt_cbc, plain), expected) << "case " << i;
        ASSERT_EQ(ours(&TKC_des::decrypt_cbc, expected), plain) << "case " << i;
    }
}

TEST_F(Oracle, Cfb8CfbBlockAndOfb) {
    for (int i = 0; i < kRounds; ++i) {
        next_case(100);
        const long n = long(plain.size());
        std::string cfb8(plain.size(), '\0'), cfb64 = cfb8, ofb = cfb8;
        DES_cfb_encrypt(uc(plain), uc(cfb8), 8, n, &schedule, oracle_iv(), DES_ENCRYPT);
        int num = 0;
        DES_cfb64_encrypt(uc(plain), uc(cfb64), n, &schedule, oracle_iv(), &num, DES_ENCRYPT);
        num = 0;
        DES_ofb64_encrypt(uc(plain), uc(ofb), n, &schedule, oracle_iv(), &num);
        ASSERT_EQ(ours(&TKC_des::encrypt_cfb8, plain), cfb8) << "case " << i;
        ASSERT_EQ(ours(&TKC_des::decrypt_cfb8, cfb8), plain) << "case " << i;
        ASSERT_EQ(ours(&TKC_des::encrypt_cfb_block, plain), cfb64) << "case " << i;
        ASSERT_EQ(ours(&TKC_des::decrypt_cfb_block, cfb64), plain) << "case " << i;
        ASSERT_EQ(ours(&TKC_des::encrypt_ofb, plain), ofb) << "case " << i;
    }
}

TEST_F(Oracle, CounterMode) {
    for (int i = 0; i < kRounds; ++i) {
        next_case(100);
        if (i % 4 == 0)
            std::memset(iv.data() + 4, 0xFF, 4);  // carries across bytes
        des.set_iv(iv.data());
        std::string expected = plain;
        std::uint64_t counter = 0;
        for (char c : iv)
            counter = counter << 8 | std::uint8_t(c);
        for (std::size_t j = 0; j < plain.size(); j += 8, ++counter) {
            std::string block(8, '\0');
            for (int b = 0; b < 8; ++b)
                block[b] = char(counter >> (56 - 8 * b));
            const std::string stream = oracle_block(block);
            for (std::size_t k = j; k < plain.size() && k < j + 8; ++k)
                expected[k] ^= stream[k - j];
        }
        ASSERT_EQ(ours(&TKC_des::encrypt_ctr, plain), expected) << "case " << i;
    }
}

TEST_F(Oracle, CryptWrapperEcbAndCbcWithShortKeys) {
    for (int i = 0; i < kRounds; ++i) {
        const std::string short_key = random_bytes(1 + rng() % 8);
        std::string full_key = short_key + std::string(8 - short_key.size(), '\0');
        std::string data = random_bytes(8 * (1 + rng() % 12));
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(full_key.data()), &schedule);
        std::string ecb(data.size(), '\0'), cbc = ecb, result;
        for (std::size_t j = 0; j < data.size(); j += 8) {
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(data.data() + j),
                            reinterpret_cast<DES_cblock*>(ecb.data() + j), &schedule, DES_ENCRYPT);
        }
        DES_cblock zero = {};
        DES_ncbc_encrypt(uc(data), uc(cbc), long(data.size()), &schedule, &zero, DES_ENCRYPT);
        for (auto [chaining, expected] : {std::pair{0, ecb}, std::pair{1, cbc}}) {
            TCryptGeneric::crypt(short_key, data, 0, std::uint8_t(chaining), result);
            ASSERT_EQ(result, expected) << "case " << i << " chaining " << chaining;
            TCryptGeneric::crypt(short_key, expected, 1, std::uint8_t(chaining), result);
            ASSERT_EQ(result, data) << "case " << i << " chaining " << chaining;
        }
    }
}

TEST_F(Oracle, EncryptStringIsBase64OfCfb8WhateverTheMode) {
    for (int i = 0; i < 300; ++i) {
        next_case(100);
        des.CipherMode = static_cast<TKC_ciphermode>(i % 6);
        std::string cfb8(plain.size(), '\0');
        DES_cfb_encrypt(uc(plain), uc(cfb8), 8, long(plain.size()), &schedule, oracle_iv(),
                        DES_ENCRYPT);
        std::string base64(4 * ((cfb8.size() + 2) / 3) + 1, '\0');
        base64.resize(std::size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                                                  uc(cfb8), int(cfb8.size()))));
        ASSERT_EQ(des.encrypt_string(plain), base64) << "case " << i;
        des.reset();
        ASSERT_EQ(des.decrypt_string(base64), plain) << "case " << i;
    }
}

}  // namespace
}  // namespace qel::crypto
