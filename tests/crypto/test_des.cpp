#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <new>
#include <vector>

#include "crypto/des.h"
#include "crypto_test_util.h"

namespace qel::crypto {
namespace {

using test::bytes;
using test::hex;

struct KnownAnswer {
    std::string key, in, out;
    friend void PrintTo(const KnownAnswer& v, std::ostream* os) {
        *os << "Key " << v.key << " In " << v.in << " Out " << v.out;
    }
};

// Reads `Key = / In = / Out =` records; a record is complete when its Out line is read.
std::vector<KnownAnswer> load_known_answers() {
    std::vector<KnownAnswer> answers;
    std::ifstream file(QEL_TEST_DATA_DIR "/des_kat.txt");
    KnownAnswer record;
    for (std::string line; std::getline(file, line);) {
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string name = line.substr(0, line.find_first_of(" =")), value = line.substr(eq + 1);
        value.erase(std::remove(value.begin(), value.end(), ' '), value.end());
        if (name == "Key")
            record.key = value;
        if (name == "In")
            record.in = value;
        if (name == "Out") {
            record.out = value;
            answers.push_back(std::exchange(record, {}));
        }
    }
    return answers;
}

class DesKnownAnswer : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(DesKnownAnswer, EncryptsToThePublishedBlockAndDecryptsBack) {
    const auto& v = GetParam();
    TKC_des des;
    des.init(bytes(v.key).data(), 64, nullptr);
    std::string block = bytes(v.in);
    des.encrypt_block(block.data(), block.data());
    EXPECT_EQ(hex(block), v.out);
    des.decrypt_block(block.data(), block.data());
    EXPECT_EQ(hex(block), v.in);
}

INSTANTIATE_TEST_SUITE_P(File, DesKnownAnswer, ::testing::ValuesIn(load_known_answers()));

TEST(Des, VectorFileIsReadWhole) {
    EXPECT_EQ(load_known_answers().size(), 19u);
}

TEST(Des, SelfTestPasses) {
    EXPECT_TRUE(TKC_des().self_test());
    EXPECT_FALSE(TKC_cipher().self_test());
}

class DesKeySize : public ::testing::TestWithParam<std::pair<std::uint32_t, bool>> {};

TEST_P(DesKeySize, InitAcceptsPositiveMultiplesOfFourUpTo64Bits) {
    const auto [size, accepted] = GetParam();
    const std::string key(16, '\x5A');
    TKC_des des;
    des.init(key.data(), 64, nullptr);  // a refused init must also drop an earlier key
    if (accepted) {
        des.init(key.data(), size, nullptr);
        EXPECT_TRUE(des.initialized());
        return;
    }
    try {
        des.init(key.data(), size, nullptr);
        FAIL() << "size " << size << " accepted";
    } catch (const EKC_cipher& e) {
        EXPECT_STREQ(e.what(), "Invalid key size");
    }
    EXPECT_FALSE(des.initialized());
    EXPECT_EQ(des.subkeys(), DesSubkeys{});
}

INSTANTIATE_TEST_SUITE_P(Table, DesKeySize,
                         ::testing::Values(std::pair{0u, false}, std::pair{4u, true},
                                           std::pair{6u, false}, std::pair{56u, true},
                                           std::pair{60u, true}, std::pair{62u, false},
                                           std::pair{64u, true}, std::pair{68u, false},
                                           std::pair{72u, false}, std::pair{0xFFFFFFFCu, false}));

struct EquivalentKey {
    const char* name;
    std::string key;  // hex
    std::uint32_t size;
    std::string same_as;  // 8-byte key, hex
};

class DesEquivalentKey : public ::testing::TestWithParam<EquivalentKey> {};

TEST_P(DesEquivalentKey, GivesTheSameCipherAsTheFullKey) {
    const auto& c = GetParam();
    TKC_des des, reference;
    des.init(bytes(c.key).data(), c.size, nullptr);
    reference.init(bytes(c.same_as).data(), 64, nullptr);
    EXPECT_EQ(des.subkeys(), reference.subkeys()) << c.name;
    EXPECT_EQ(des.iv(), reference.iv()) << c.name;  // the encryption of a zero block
}

INSTANTIATE_TEST_SUITE_P(
    Table, DesEquivalentKey,
    ::testing::Values(
        EquivalentKey{"parity bits ignored", "0123456789ABCDEF", 64, "0022446688AACCEE"},
        EquivalentKey{"all parity bits set", "FFFFFFFFFFFFFFFF", 64, "FEFEFEFEFEFEFEFE"},
        EquivalentKey{"7 bytes", "13345779 9BBCDF", 56, "133457799BBCDF00"},
        EquivalentKey{"60 bits use 7 bytes", "133457799BBCDFF1", 60, "133457799BBCDF00"},
        EquivalentKey{"12 bits use 1 byte", "13FF", 12, "1300000000000000"},
        EquivalentKey{"4 bits is the zero key", "FF", 4, "0000000000000000"}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace_if(
            n.begin(), n.end(), [](char ch) { return !std::isalnum(ch); }, '_');
        return n;
    });

void expect_not_initialised(const TKC_des& des) {
    EXPECT_FALSE(des.initialized());
    EXPECT_EQ(des.subkeys(), DesSubkeys{});
    const TKC_blockcipher64::Block all_ones = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(des.iv(), all_ones);
    EXPECT_EQ(des.chain_value(), des.iv());
    std::uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    try {
        des.encrypt_block(block, block);
        FAIL() << "encrypt_block without a key";
    } catch (const EKC_blockcipher& e) {
        EXPECT_STREQ(e.what(), "Cipher not initialized");
    }
    EXPECT_THROW(des.decrypt_block(block, block), EKC_blockcipher);
    EXPECT_EQ(block[0], 1);
}

TEST(Des, NewAndWipedObjectsHoldNoKey) {
    TKC_des des;
    expect_not_initialised(des);
    des.init(bytes("0123456789ABCDEF").data(), 64, nullptr);
    ASSERT_NE(des.subkeys(), DesSubkeys{});
    des.wipe();
    expect_not_initialised(des);
}

TEST(Des, DestructorWipesTheRoundKeys) {
    // Destroy in place and look at the storage the round keys occupied.
    alignas(TKC_des) unsigned char storage[sizeof(TKC_des)];
    auto* des = new (storage) TKC_des;
    des->init(bytes("0123456789ABCDEF").data(), 64, nullptr);
    const auto offset = reinterpret_cast<const unsigned char*>(des->subkeys().data()) - storage;
    ASSERT_NE(des->subkeys(), DesSubkeys{});
    des->~TKC_des();
    const volatile unsigned char* after = storage + offset;
    for (std::size_t i = 0; i < sizeof(DesSubkeys); ++i)
        EXPECT_EQ(after[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace qel::crypto
