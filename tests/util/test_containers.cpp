#include <gtest/gtest.h>

#include <functional>

#include "util/KUDynArrayHardLenContainer.h"
#include "util/KUDynArraySoftLenContainer.h"

namespace qel::util {
namespace {

constexpr const char* kEvenLength =
    "Text representation of binary data MUST have even length in StringToByteStream!";

TEST(SoftContainer, StartsAsZeroBytesOfTheGivenLength) {
    EXPECT_EQ(TKUDynArraySoftLenContainer(3).GetAsHexString(), "000000");
    TKUDynArraySoftLenContainer empty(0);
    EXPECT_EQ(empty.GetAsHexString(), "");
    EXPECT_EQ(empty.GetLength(), 0);
}

struct FillCase {
    const char* name;
    std::int32_t size;
    std::int32_t start;
    std::int32_t count;
    const char* result;  // nullptr: raises
};

class FillRanges : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillRanges, FillsInsideTheContentOrRaisesAndKeepsIt) {
    const auto& c = GetParam();
    TKUDynArraySoftLenContainer box(c.size);
    if (c.result) {
        box.Fill(0xFF, c.start, c.count);
        EXPECT_EQ(box.GetAsHexString(), c.result);
    } else {
        try {
            box.Fill(0xFF, c.start, c.count);
            FAIL() << c.name;
        } catch (const EKUDynArrayContainerException& e) {
            EXPECT_STREQ(e.what(), "Cannot fill array. Bounds error");
        }
        EXPECT_EQ(box.GetAsHexString(), std::string(2 * c.size, '0'));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FillRanges,
                         ::testing::Values(FillCase{"middle", 4, 1, 2, "00FFFF00"},
                                           FillCase{"past_end", 4, 3, 2, nullptr},
                                           FillCase{"negative_start", 4, -1, 1, nullptr},
                                           FillCase{"empty_nothing", 0, 0, 0, ""},
                                           FillCase{"negative_count", 4, 1, -3, "00000000"}),
                         [](const auto& info) { return std::string(info.param.name); });

using Setter = std::function<void(TKUDynArraySoftLenContainer&)>;

struct HardCase {
    const char* name;
    Setter set;
    const char* error;   // nullptr: accepted
    const char* result;  // content afterwards
};

class HardLengthSetters : public ::testing::TestWithParam<HardCase> {};

TEST_P(HardLengthSetters, AcceptOnlyTheFixedLength) {
    const auto& c = GetParam();
    TKUDynArrayHardLenContainer box(4);
    box.SetAsHexString("CAFEBABE");
    if (c.error) {
        try {
            c.set(box);
            FAIL() << c.name;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    } else {
        c.set(box);
    }
    EXPECT_EQ(box.GetAsHexString(), c.result);
    EXPECT_EQ(box.GetLength(), 4);
}

const char* const kSize = "Incoming array is not of expected size!";

INSTANTIATE_TEST_SUITE_P(
    Table, HardLengthSetters,
    ::testing::Values(
        HardCase{"hex_of_four", [](auto& b) { b.SetAsHexString("01 02 03 04"); }, nullptr,
                 "01020304"},
        HardCase{"zero_string", [](auto& b) { b.SetAsBinaryString(ByteString(4, '\0')); }, nullptr,
                 "00000000"},
        HardCase{"array_of_four",
                 [](auto& b) {
                     b.SetAsArray({9, 8, 7, 6});
                 },
                 nullptr, "09080706"},
        HardCase{"hex_of_three", [](auto& b) { b.SetAsHexString("010203"); }, kSize, "CAFEBABE"},
        HardCase{"hex_of_five", [](auto& b) { b.SetAsHexString("0102030405"); }, kSize, "CAFEBABE"},
        HardCase{"odd_digits_first", [](auto& b) { b.SetAsHexString("0102030"); }, kEvenLength,
                 "CAFEBABE"},
        HardCase{"string_of_five", [](auto& b) { b.SetAsBinaryString("abcde"); }, kSize,
                 "CAFEBABE"},
        HardCase{"empty_array", [](auto& b) { b.SetAsArray({}); }, kSize, "CAFEBABE"},
        HardCase{"empty_hex", [](auto& b) { b.SetAsHexString(""); }, kSize, "CAFEBABE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SoftContainer, HexInAnyFormReadsBackCanonical) {
    TKUDynArraySoftLenContainer box;
    box.SetAsHexString("a0 00 00 00 03 00 00");
    EXPECT_EQ(box.GetAsHexString(), "A0000000030000");
    EXPECT_EQ(box.GetAsBinaryString(), ByteString("\xA0\0\0\0\x03\0\0", 7));
}

TEST(SoftContainer, OddHexKeepsTheOldContent) {
    TKUDynArraySoftLenContainer box;
    box.SetAsHexString("1234");
    EXPECT_THROW(box.SetAsHexString("123"), Exception);
    EXPECT_EQ(box.GetAsHexString(), "1234");
    box.SetAsHexString("");
    EXPECT_EQ(box.GetLength(), 0);
}

TEST(SoftContainer, SetAsArrayTakesACopyWhileGetArraySharesTheContent) {
    TKUDynArraySoftLenContainer box;
    ByteArray source{1, 2, 3};
    box.SetAsArray(source);
    source[0] = 0x77;
    EXPECT_EQ(box.GetAsHexString(), "010203");

    ByteArray& shared = box.GetArray();
    shared[2] = 0xEE;
    EXPECT_EQ(box.GetAsHexString(), "0102EE");
}

TEST(SoftContainer, SetLengthKeepsBytesAndZeroFills) {
    TKUDynArraySoftLenContainer box;
    box.SetAsHexString("01020304");
    box.SetLength(6);
    EXPECT_EQ(box.GetAsHexString(), "010203040000");
    box.SetLength(2);
    EXPECT_EQ(box.GetAsHexString(), "0102");
}

TEST(SoftContainer, BinaryStringKeepsZeroBytes) {
    TKUDynArraySoftLenContainer box;
    box.SetAsBinaryString(ByteString("\0\xFF\0", 3));
    EXPECT_EQ(box.GetAsHexString(), "00FF00");
    EXPECT_EQ(box.GetLength(), 3);
}

}  // namespace
}  // namespace qel::util
