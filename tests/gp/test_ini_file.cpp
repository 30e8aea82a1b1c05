#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "gp/IniFile.h"
#include "test_card_db_support.h"
#include "util/Exception.h"

namespace qel::gp {
namespace {

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> value;
};

class IniInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IniInteger, AcceptsDecimalAndPrefixedHexOnly) {
    EXPECT_EQ(IniFile::parse_integer(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniInteger,
    ::testing::Values(
        IntegerCase{"0", 0}, IntegerCase{"-0", 0}, IntegerCase{"+7", 7}, IntegerCase{"0201", 201},
        IntegerCase{"2147483647", 2147483647}, IntegerCase{"-2147483648", -2147483647 - 1},
        IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483649", std::nullopt},
        IntegerCase{"99999999999999999999", std::nullopt}, IntegerCase{"$ff", 255},
        IntegerCase{"0xFF", 255}, IntegerCase{"0X1f", 31}, IntegerCase{"$FFFFFFFF", -1},
        IntegerCase{"0x0000000101", 257}, IntegerCase{"$100000000", std::nullopt},
        IntegerCase{"0x", std::nullopt}, IntegerCase{"$", std::nullopt},
        IntegerCase{"", std::nullopt}, IntegerCase{"-", std::nullopt},
        IntegerCase{"1 ", std::nullopt}, IntegerCase{"1e3", std::nullopt},
        IntegerCase{"-$10", std::nullopt}, IntegerCase{"0x-1", std::nullopt},
        IntegerCase{"x10", std::nullopt}, IntegerCase{"$1G", std::nullopt}));

// Each limit: the largest text that is still read, and one step past it that is refused.
struct LimitCase {
    const char* name;
    std::function<std::string(std::size_t extra)> make;
};

const std::string kHead = "[card]\nCardManagerAID=0102\n";

const LimitCase kLimits[] = {
    {"FileSize",
     [](std::size_t extra) {
         std::string text = kHead;
         text.resize(IniFile::kMaxFileSize + extra, '\n');
         return text;
     }},
    {"LineLength",
     [](std::size_t extra) {
         return kHead + "Name=" + std::string(IniFile::kMaxLineLength - 5 + extra, 'n') + "\r\n";
     }},
    {"Sections",
     [](std::size_t extra) {
         std::string text;
         for (std::size_t i = 1; i < IniFile::kMaxSections + extra; ++i) {
             text += "[s" + std::to_string(i) + "]\n";
         }
         return text + kHead;
     }},
    {"Entries",
     [](std::size_t extra) {
         std::string text = kHead;
         for (std::size_t i = 1; i < IniFile::kMaxEntries + extra; ++i)
             text += "k\n";
         return text;
     }},
};

class IniLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(IniLimits, TextAtTheLimitIsReadAndOnePastIsRefused) {
    const IniFile ini = IniFile::parse(GetParam().make(0));
    EXPECT_EQ(ini.read_string("card", "CardManagerAID", ""), "0102");
    EXPECT_THROW(IniFile::parse(GetParam().make(1)), util::Exception);
}

INSTANTIATE_TEST_SUITE_P(Table, IniLimits, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniFileLoad, FileAtTheSizeLimitIsReadFromDisk) {
    const testing::ScratchDir dir;
    std::string text = kHead;
    text.resize(IniFile::kMaxFileSize, '\n');
    dir.write("full.ini", text);
    EXPECT_EQ(IniFile::load("full.ini").read_string("CARD", "cardmanageraid", ""), "0102");
    EXPECT_EQ(IniFile::load("absent.ini").section_count(), 0u);
}

TEST(IniFileRead, ReusedSectionNameStartsOverAndEmptyValueIsNotAbsent) {
    const IniFile ini = IniFile::parse("[a]\nx=1\ny=\n[b]\n[A]\ny=2\n[c]\n=v\n");
    EXPECT_FALSE(ini.value_exists("a", "x"));
    EXPECT_EQ(ini.read_string("a", "y", "d"), "2");
    EXPECT_TRUE(ini.section_exists("b"));
    EXPECT_FALSE(ini.section_has_entries("b"));
    EXPECT_EQ(ini.read_string("c", "", "d"), "v");
    EXPECT_EQ(IniFile::parse("[a]\ny=\n").read_string("a", "y", "d"), "");
    EXPECT_EQ(ini.read_integer("a", "y", 9), 2);
    EXPECT_EQ(ini.read_integer("a", "z", 9), 9);
}

}  // namespace
}  // namespace qel::gp
