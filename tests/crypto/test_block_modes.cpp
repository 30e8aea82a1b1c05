#include <gtest/gtest.h>

#include <functional>

#include "crypto/base64.h"
#include "crypto/des.h"
#include "crypto_test_util.h"

namespace qel::crypto {
namespace {

using test::bytes;
using test::hex;

const std::string kKey = bytes("133457799BBCDFF1");
const std::string kIv = bytes("0F1E2D3C4B5A6978");

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 37 + 11);
    return s;
}

std::string encrypt(TKC_des& des, const std::string& in) {
    std::string out(in.size(), '\0');
    des.encrypt_buffer(in.data(), out.data(), static_cast<std::uint32_t>(in.size()));
    return out;
}

std::string decrypt(TKC_des& des, const std::string& in) {
    std::string out(in.size(), '\0');
    des.decrypt_buffer(in.data(), out.data(), static_cast<std::uint32_t>(in.size()));
    return out;
}

class EveryMode : public ::testing::TestWithParam<TKC_ciphermode> {
protected:
    void SetUp() override {
        des.init(kKey.data(), 64, kIv.data());
        des.CipherMode = GetParam();
    }
    TKC_des des;
};

TEST_P(EveryMode, DecryptsAnyLengthBackAndWorksInPlace) {
    for (std::size_t n : {0, 1, 7, 8, 13, 16, 67}) {
        const std::string plain = pattern(n);
        des.reset();
        const std::string cipher = encrypt(des, plain);
        des.reset();
        std::string buffer = plain;
        des.encrypt_buffer(buffer.data(), buffer.data(), static_cast<std::uint32_t>(n));
        EXPECT_EQ(buffer, cipher) << "in place, n=" << n;
        des.reset();
        des.decrypt_buffer(buffer.data(), buffer.data(), static_cast<std::uint32_t>(n));
        EXPECT_EQ(buffer, plain) << "n=" << n;
        if (GetParam() == cmOFB || GetParam() == cmCTR) {
            des.reset();
            EXPECT_EQ(decrypt(des, plain), cipher) << "one operation both ways, n=" << n;
        }
    }
}

TEST_P(EveryMode, ChainContinuesAcrossCallsUntilReset) {
    const std::string plain = pattern(24);
    const std::string whole = encrypt(des, plain);
    des.reset();
    const std::string head = encrypt(des, plain.substr(0, 8));
    EXPECT_EQ(head + encrypt(des, plain.substr(8)), whole);
    EXPECT_NE(encrypt(des, plain), whole);
    des.reset();
    EXPECT_EQ(encrypt(des, plain), whole);
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode,
                         ::testing::Values(cmCBC, cmCFB8bit, cmCFBblock, cmOFB, cmCTR));

TEST(BlockModes, DefaultInitVectorIsTheEncryptedZeroBlock) {
    TKC_des des;
    des.init(kKey.data(), 64, nullptr);
    std::string zero(8, '\0'), iv(8, '\0');
    des.encrypt_block(zero.data(), zero.data());
    des.get_iv(iv.data());
    EXPECT_EQ(iv, zero);

    // get_iv reports the running chain value, not the vector given to init.
    des.init(kKey.data(), 64, kIv.data());
    des.get_iv(iv.data());
    EXPECT_EQ(iv, kIv);
    const std::string cipher = encrypt(des, pattern(16));
    des.get_iv(iv.data());
    EXPECT_EQ(iv, cipher.substr(8));
}

TEST(BlockModes, CounterWrapsFromAllOnesToZero) {
    TKC_des des;
    des.init(kKey.data(), 64, nullptr);
    des.set_iv(bytes("FFFFFFFFFFFFFFFF").data());
    std::string keystream(16, '\0'), counter(8, '\0');
    des.encrypt_ctr(keystream.data(), keystream.data(), 16);
    std::string block0 = bytes("FFFFFFFFFFFFFFFF"), block1(8, '\0');
    des.encrypt_block(block0.data(), block0.data());
    des.encrypt_block(block1.data(), block1.data());
    EXPECT_EQ(hex(keystream), hex(block0 + block1));
    des.get_iv(counter.data());
    EXPECT_EQ(hex(counter), "0000000000000001");
}

TEST(BlockModes, ModeOutsideTheListLeavesTheOutputAlone) {
    TKC_des des;
    des.init(kKey.data(), 64, nullptr);
    des.CipherMode = static_cast<TKC_ciphermode>(5);
    std::string out = "untouched";
    des.encrypt_buffer(pattern(8).data(), out.data(), 8);
    des.decrypt_buffer(pattern(8).data(), out.data(), 8);
    EXPECT_EQ(out, "untouched");
}

struct Operation {
    const char* name;
    std::function<void(TKC_des&, char*)> run;
};

class WithoutKey : public ::testing::TestWithParam<Operation> {};

TEST_P(WithoutKey, RaisesAndChangesNothing) {
    for (bool wiped : {false, true}) {
        TKC_des des;
        if (wiped) {
            des.init(kKey.data(), 64, nullptr);
            des.wipe();
        }
        std::string buffer(16, 'x');
        try {
            GetParam().run(des, buffer.data());
            ADD_FAILURE() << GetParam().name << " ran without a key, wiped=" << wiped;
        } catch (const EKC_blockcipher& e) {
            EXPECT_STREQ(e.what(), "Cipher not initialized");
        }
        EXPECT_EQ(buffer, std::string(16, 'x'));
        EXPECT_EQ(des.chain_value(), des.iv());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WithoutKey,
    ::testing::Values(
        Operation{"encrypt_cbc", [](TKC_des& d, char* b) { d.encrypt_cbc(b, b, 16); }},
        Operation{"decrypt_cbc", [](TKC_des& d, char* b) { d.decrypt_cbc(b, b, 16); }},
        Operation{"encrypt_cfb8", [](TKC_des& d, char* b) { d.encrypt_cfb8(b, b, 16); }},
        Operation{"decrypt_cfb8", [](TKC_des& d, char* b) { d.decrypt_cfb8(b, b, 16); }},
        Operation{"encrypt_cfb_block", [](TKC_des& d, char* b) { d.encrypt_cfb_block(b, b, 16); }},
        Operation{"decrypt_cfb_block", [](TKC_des& d, char* b) { d.decrypt_cfb_block(b, b, 16); }},
        Operation{"encrypt_ofb", [](TKC_des& d, char* b) { d.encrypt_ofb(b, b, 16); }},
        Operation{"decrypt_ofb", [](TKC_des& d, char* b) { d.decrypt_ofb(b, b, 16); }},
        Operation{"encrypt_ctr", [](TKC_des& d, char* b) { d.encrypt_ctr(b, b, 16); }},
        Operation{"decrypt_ctr", [](TKC_des& d, char* b) { d.decrypt_ctr(b, b, 16); }},
        Operation{"zero_size", [](TKC_des& d, char* b) { d.encrypt_cbc(b, b, 0); }},
        Operation{"encrypt_blocks", [](TKC_des& d, char* b) { d.encrypt_blocks(b, b, 2); }},
        Operation{"decrypt_blocks", [](TKC_des& d, char* b) { d.decrypt_blocks(b, b, 2); }},
        Operation{"zero_blocks", [](TKC_des& d, char* b) { d.encrypt_blocks(b, b, 0); }},
        Operation{"encrypt_buffer", [](TKC_des& d, char* b) { d.encrypt_buffer(b, b, 16); }},
        Operation{"reset", [](TKC_des& d, char*) { d.reset(); }},
        Operation{"set_iv", [](TKC_des& d, char* b) { d.set_iv(b); }},
        Operation{"get_iv", [](TKC_des& d, char* b) { d.get_iv(b); }},
        Operation{"empty_encrypt_string", [](TKC_des& d, char*) { d.encrypt_string(""); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64, EncodesAndDecodesTheStandardVectors) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64_encode(plain), encoded);
        EXPECT_EQ(base64_decode(encoded), plain);
    }
    EXPECT_EQ(base64_encode(bytes("FBFF00")), "+/8A");
    EXPECT_EQ(base64_decode("Zm9vYmE"), "foo") << "an incomplete last group is ignored";
}

TEST(Base64, RefusesTextOutsideTheAlphabetOrWithMisplacedPadding) {
    for (const char* text : {"Zm9v!A==", "Z===", "=AAA", "Zg=A", "Zg==Zm9v", "Zm 9v"}) {
        EXPECT_THROW(base64_decode(text), EKC_cipher) << text;
    }
}

}  // namespace
}  // namespace qel::crypto
