#include <gtest/gtest.h>

#include "crypto/cipher.h"
#include "crypto/crypt_generic.h"
#include "crypto_test_util.h"

namespace qel::crypto {
namespace {

using test::bytes;

const std::string kKey8 = bytes("0123456789ABCDEF");

std::string crypt(const std::string& key, const std::string& data, int direction, int chaining) {
    std::string result = "stale";
    TCryptGeneric::crypt(key, data, std::uint8_t(direction), std::uint8_t(chaining), result);
    return result;
}

constexpr const char* kBadKey = "Invalid key size";
constexpr const char* kDirection2 = "Unknown cipher direction 2: 0 encrypts, 1 decrypts";
constexpr const char* kChaining2 = "Unknown cipher chaining 2: 0 is ECB, 1 is CBC";

struct CryptCase {
    const char* name;
    std::string key;
    std::size_t data_length;
    int direction, chaining;
    const char* error;  // nullptr: the data comes back unchanged
    friend void PrintTo(const CryptCase& c, std::ostream* os) { *os << c.name; }
};

class CryptEdge : public ::testing::TestWithParam<CryptCase> {};

TEST_P(CryptEdge, Behaves) {
    const auto& c = GetParam();
    std::string data(c.data_length, '\x6B');
    std::string result = "stale";
    try {
        TCryptGeneric::crypt(c.key, data, std::uint8_t(c.direction), std::uint8_t(c.chaining),
                             result);
        ASSERT_EQ(c.error, nullptr) << "no error";
    } catch (const EKC_cipher& e) {
        ASSERT_NE(c.error, nullptr) << e.what();
        EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(result, data);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CryptEdge,
    ::testing::Values(
        CryptCase{"seven_bytes_empty_key", "", 7, 0, 1, nullptr},
        CryptCase{"empty_data_empty_key", "", 0, 0, 1, nullptr},
        CryptCase{"fifteen_bytes", kKey8, 15, 1, 0, nullptr},
        CryptCase{"seven_bytes_nine_byte_key", std::string(9, 'k'), 7, 0, 1, nullptr},
        CryptCase{"empty_key", "", 8, 0, 1, kBadKey},
        CryptCase{"nine_byte_key", std::string(9, 'k'), 8, 0, 0, kBadKey},
        CryptCase{"buffer_sized_key", std::string(24, 'k'), 8, 1, 1, kBadKey},
        CryptCase{"thirty_byte_key", std::string(30, 'k'), 16, 0, 1, kBadKey},
        CryptCase{"huge_key", std::string(4096, 'k'), 8, 0, 0, kBadKey},
        CryptCase{"chaining_2_before_the_key", std::string(30, 'k'), 8, 0, 2, kChaining2},
        CryptCase{"direction_2_ecb", kKey8, 16, 2, 0, kDirection2},
        CryptCase{"direction_2_cbc", kKey8, 16, 2, 1, kDirection2},
        CryptCase{"direction_2_before_the_key", std::string(9, 'k'), 8, 2, 1, kDirection2},
        CryptCase{"direction_2_seven_bytes", kKey8, 7, 2, 1, kDirection2},
        CryptCase{"chaining_2_empty_data", kKey8, 0, 1, 2, kChaining2},
        CryptCase{"direction_255", kKey8, 8, 255, 0,
                  "Unknown cipher direction 255: 0 encrypts, 1 decrypts"},
        CryptCase{"chaining_255", kKey8, 8, 0, 255,
                  "Unknown cipher chaining 255: 0 is ECB, 1 is CBC"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CryptGeneric, ResultMayShareTheKeyOrTheData) {
    const std::string data = bytes("4E6F772069732074 68652074696D6520");
    const std::string expected = crypt(kKey8, data, 0, 1);
    std::string shared = data;
    TCryptGeneric::crypt(kKey8, shared, 0, 1, shared);
    EXPECT_EQ(shared, expected);
    shared = kKey8;
    TCryptGeneric::crypt(shared, data, 0, 1, shared);
    EXPECT_EQ(shared, expected);
}

TEST(Alignment, PadToBlock) {
    const std::pair<std::size_t, std::size_t> lengths[] = {{0, 0}, {5, 8}, {8, 8}, {9, 16}};
    for (const auto& [in, out] : lengths) {
        const std::string padded = pad_to_block(std::string(in, 'a'), 8, 0);
        EXPECT_EQ(padded, std::string(in, 'a') + std::string(out - in, '\0')) << in;
    }
    EXPECT_EQ(pad_to_block("abc", 4, 0xFF), "abc\xFF");
    EXPECT_EQ(pad_to_block("abc", 0, 0), "abc");
    EXPECT_EQ(pad_to_block("abc", -8, 0), "abc");
}

TEST(Alignment, RoundUpToBlock) {
    const std::pair<std::uint32_t, std::uint32_t> values[] = {
        {0, 0}, {1, 8}, {8, 8}, {9, 16}, {248, 248}, {249, 256}, {0xFFFFFFF9u, 0}};
    for (const auto& [in, out] : values)
        EXPECT_EQ(round_up_to_block(in, 8), out) << in;
    EXPECT_EQ(round_up_to_block(5, 0), 5u);
}

}  // namespace
}  // namespace qel::crypto
