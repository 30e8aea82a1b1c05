#include <gtest/gtest.h>

#include "util/BinString.h"
#include "util/Exception.h"
#include "util/Hex.h"
#include "util/KUDynArrays.h"
#include "util/KUMath.h"
#include "util/KUStrUtils.h"

namespace qel::util {
namespace {

struct HexCase {
    const char* text;
    ByteArray bytes;
};

class HexTextAccepted : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTextAccepted, ConvertsToBytesIgnoringCaseAndSeparators) {
    ByteArray out{0xEE};  // replaced, never appended to
    StringToByteStream(GetParam().text, out);
    EXPECT_EQ(out, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HexTextAccepted,
    ::testing::Values(
        HexCase{"", {}}, HexCase{"3B", {0x3B}}, HexCase{"3b:75 94", {0x3B, 0x75, 0x94}},
        HexCase{"a0-00\t00\r\n03", {0xA0, 0x00, 0x00, 0x03}}, HexCase{"FfeE", {0xFF, 0xEE}},
        HexCase{"\x80\xFF"
                "0g1",
                {0x01}},  // bytes from 0x80 up and letters past f are dropped
        HexCase{"71656C3231010101", {0x71, 0x65, 0x6C, 0x32, 0x31, 0x01, 0x01, 0x01}}));

class HexTextRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(HexTextRefused, RaisesTheEvenLengthErrorAndKeepsTheOutput) {
    ByteArray out{0x42};
    try {
        TKUDynArray::StringToByteStream(GetParam(), out);
        FAIL() << "no exception for \"" << GetParam() << "\"";
    } catch (const Exception& e) {
        EXPECT_STREQ(
            e.what(),
            "Text representation of binary data MUST have even length in StringToByteStream!");
    }
    EXPECT_EQ(out, ByteArray{0x42});
}

// "0x3B" keeps 0, 3 and B: a 0x prefix is not recognised. "none" has one hex digit.
INSTANTIATE_TEST_SUITE_P(Table, HexTextRefused,
                         ::testing::Values(" ", "A", "0x3B", "none", "ABC", "zz", "\n"));

struct HexOutCase {
    ByteArray bytes;
    const char* separator;
    const char* text;
};

class HexTextProduced : public ::testing::TestWithParam<HexOutCase> {};

TEST_P(HexTextProduced, UsesUpperCaseDigitsWithSeparatorsBetweenBytesOnly) {
    EXPECT_EQ(TKUDynArray::ByteStreamToHexString(GetParam().bytes, GetParam().separator),
              GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, HexTextProduced,
                         ::testing::Values(HexOutCase{{0x00, 0xAB}, ":", "00:AB"},
                                           HexOutCase{{0x00, 0xAB}, "", "00AB"},
                                           HexOutCase{{0x0F}, " ", "0F"}, HexOutCase{{}, "--", ""},
                                           HexOutCase{{0xDE, 0xAD, 0xBE}, ", ", "DE, AD, BE"}));

TEST(HexText, RoundTripGivesTheCanonicalForm) {
    ByteArray bytes;
    StringToByteStream(" a0 00 00 00 03 00 00 ", bytes);
    EXPECT_EQ(TKUDynArray::ByteStreamToHexString(bytes, ""), "A0000000030000");
}

struct HexNumberCase {
    unsigned value;
    int width;
    const char* text;
};

class HexNumbers : public ::testing::TestWithParam<HexNumberCase> {};

TEST_P(HexNumbers, PadToTheWidthAndNeverCutDigits) {
    EXPECT_EQ(hex_digits(GetParam().value, GetParam().width), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, HexNumbers,
                         ::testing::Values(HexNumberCase{0x6A82, 4, "6A82"},
                                           HexNumberCase{0x05, 2, "05"},
                                           HexNumberCase{0, 4, "0000"}, HexNumberCase{0, 0, "0"},
                                           HexNumberCase{0x1234, 2, "1234"},
                                           HexNumberCase{0xFFFFFFFF, 8, "FFFFFFFF"},
                                           HexNumberCase{0x80100069, 8, "80100069"}));

TEST(ByteStrings, KeepZeroBytesAndHighBytes) {
    const ByteArray bytes{0x00, 0x41, 0xFF, 0x00};
    const ByteString s = ByteStreamToString(bytes);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s, std::string("\0A\xFF\0", 4));
    EXPECT_EQ(TBinaryString::ByteToChar(0xFF), '\xFF');
}

TEST(CharSets, MembershipFollowsTheBitOfEachValue) {
    const CharSet set =
        TKUStrUtils::make_char_set(std::string("\x00"
                                               "a\xFF",
                                               3));
    for (int c = 0; c < 256; ++c) {
        const bool expected = c == 0 || c == 'a' || c == 0xFF;
        EXPECT_EQ(TKUStrUtils::CharInSet(static_cast<char>(c), set), expected) << c;
    }
}

TEST(SplitWords, HiByteAndLoByte) {
    EXPECT_EQ(TKUMath::HiByte(0x6A82), 0x6A);
    EXPECT_EQ(TKUMath::LoByte(0x6A82), 0x82);
    EXPECT_EQ(TKUMath::HiByte(0x12345678), 0x56);
    EXPECT_EQ(TKUMath::LoByte(0x12345678), 0x78);
}

}  // namespace
}  // namespace qel::util
