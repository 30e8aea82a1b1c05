#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "gp/IniFile.h"
#include "test_card_db_support.h"
#include "util/Exception.h"

namespace qel::gp {
namespace {

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

// The byte-order mark some editors write: only one, only at the very start, is not part of the
// text.
struct BomCase {
    const char* name;
    std::string text;
    bool card_seen;
};

class IniByteOrderMark : public ::testing::TestWithParam<BomCase> {};

TEST_P(IniByteOrderMark, OnlyALeadingMarkIsSkipped) {
    const IniFile ini = IniFile::parse(GetParam().text);
    EXPECT_EQ(ini.section_exists("card"), GetParam().card_seen);
    EXPECT_EQ(ini.read_string("card", "CardManagerAID", ""), GetParam().card_seen ? "0102" : "");
}

const std::string kBom = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(Table, IniByteOrderMark,
                         ::testing::Values(BomCase{"BeforeTheFirstSection", kBom + kHead, true},
                                           BomCase{"Twice", kBom + kBom + kHead, false},
                                           BomCase{"Incomplete", "\xEF\xBB" + kHead, false},
                                           BomCase{"OnALaterLine", "[x]\n" + kBom + kHead, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniFileLoad, FileAtTheSizeLimitIsReadFromDisk) {
    const testing::ScratchDir dir;
    std::string text = kHead;
    text.resize(IniFile::kMaxFileSize, '\n');
    dir.write("full.ini", text);
    EXPECT_EQ(IniFile::load("full.ini").read_string("CARD", "cardmanageraid", ""), "0102");
    EXPECT_EQ(IniFile::load("absent.ini").section_count(), 0u);
}

// Whatever its size, the file is read to its last byte: the section sits at the very end.
class IniFileSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(IniFileSize, FileIsReadToItsLastByte) {
    const testing::ScratchDir dir;
    const std::string tail = "[card]\nCardManagerAID=0102";
    std::string text(GetParam() - tail.size(), '\n');
    text += tail;
    dir.write("sized.ini", text);
    EXPECT_EQ(IniFile::load("sized.ini").read_string("card", "CardManagerAID", ""), "0102");
}

INSTANTIATE_TEST_SUITE_P(Sizes, IniFileSize,
                         ::testing::Values(std::size_t{26}, std::size_t{4095}, std::size_t{4096},
                                           std::size_t{4097}, std::size_t{65536 + 3},
                                           IniFile::kMaxFileSize));

TEST(IniFileLoad, FileOnePastTheSizeLimitIsRefused) {
    const testing::ScratchDir dir;
    std::string text = kHead;
    text.resize(IniFile::kMaxFileSize + 1, '\n');
    dir.write("over.ini", text);
    EXPECT_THROW(IniFile::load("over.ini"), util::Exception);
}

// Files of the kernel's process file system report a size of 0 and still have content: the
// reader must not take the size it was told for the size there is.
TEST(IniFileLoad, FileThatReportsNoSizeIsReadWhole) {
    struct stat info {};
    ASSERT_EQ(::stat("/proc/self/comm", &info), 0);
    ASSERT_EQ(info.st_size, 0);
    char previous[16] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, previous), 0);
    ASSERT_EQ(::prctl(PR_SET_NAME, "[qel]"), 0);
    bool seen = false;
    EXPECT_NO_THROW(seen = IniFile::load("/proc/self/comm").section_exists("qel"));
    ::prctl(PR_SET_NAME, previous);
    EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace qel::gp
