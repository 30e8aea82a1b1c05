#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <regex>

#include "log/event_file.h"
#include "tests/log/test_support.h"

namespace qel::log {
namespace {

using test::read_all;
using test::TempDirTest;
using test::write_all;

const std::regex kHeader(R"(=== \[(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d) (.*)\] ===\r\n)");

class EventFile : public TempDirTest {
protected:
    std::string path() const { return (dir / "tool.log").string(); }
};

TEST_F(EventFile, NewFileStartsWithHeaderNamingTimeAndThisProgram) {
    const std::string before = t_event_file::time_stamp();
    {
        t_event_file file(path(), true);
        EXPECT_TRUE(file.is_open());
        EXPECT_EQ(file.write_line("first"), 7);
    }
    const std::string after = t_event_file::time_stamp();

    const std::string content = read_all(path());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(content, m, kHeader, std::regex_constants::match_continuous))
        << content;
    EXPECT_TRUE(m[1] == before || m[1] == after) << m[1];
    EXPECT_EQ(m[2].str(), std::filesystem::canonical(test::program_path).string());
    EXPECT_EQ(m.suffix().str(), "first\r\n");
}

struct ExistingCase {
    const char* name;
    const char* old_content;
};

class ExistingFile : public EventFile, public ::testing::WithParamInterface<ExistingCase> {};

TEST_P(ExistingFile, GetsTwoBlankLinesThenHeaderAfterItsOldContent) {
    const std::string old = GetParam().old_content;
    write_all(path(), old);
    {
        t_event_file file(path(), true);
        file.write_line("next");
    }
    const std::string content = read_all(path());
    ASSERT_EQ(content.substr(0, old.size() + 4), old + "\r\n\r\n");
    const std::string rest = content.substr(old.size() + 4);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(rest, m, kHeader, std::regex_constants::match_continuous))
        << rest;
    EXPECT_EQ(m.suffix().str(), "next\r\n");
}

INSTANTIATE_TEST_SUITE_P(Contents, ExistingFile,
                         ::testing::Values(ExistingCase{"PreviousRun", "=== [x] ===\r\nline\r\n"},
                                           ExistingCase{"Empty", ""},
                                           ExistingCase{"HighBytes", "\xff\xfe\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventFile, WithoutHeaderNewFileStartsWithFirstLine) {
    {
        t_event_file file(path(), false);
        file.write_line("only");
    }
    EXPECT_EQ(read_all(path()), "only\r\n");
}

TEST_F(EventFile, EmptyTextWritesNothingAndEmptyLineWritesLineEnd) {
    t_event_file file(path(), false);
    EXPECT_EQ(file.write(""), 0);
    EXPECT_EQ(read_all(path()), "");
    EXPECT_EQ(file.write_line(""), 2);
    EXPECT_EQ(file.last_write_size(), 2u);
    EXPECT_EQ(file.write(std::string("a\0b", 3)), 3);
    EXPECT_EQ(read_all(path()), std::string("\r\na\0b", 5));
}

TEST_F(EventFile, MissingDirectoryGivesClosedFileWhoseWritesDoNothing) {
    const auto missing = dir / "no such dir" / "tool.log";
    t_event_file file(missing.string(), true);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.failure(), "No such file or directory");
    EXPECT_EQ(file.write("x"), 0);
    EXPECT_EQ(file.write_line("x"), 0);
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));
}

TEST_F(EventFile, AfterCloseWritesFailAndReopenAppendsAtTheEnd) {
    t_event_file file(path(), false);
    file.write_line("one");
    file.close();
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(file.write_line("lost"), 0);

    // Someone else grows the file meanwhile; the next lines must still go after everything.
    write_all(path(), read_all(path()) + "two\r\n");
    ASSERT_TRUE(file.open(path()));
    EXPECT_EQ(file.write_line("three"), 7);
    EXPECT_EQ(read_all(path()), "one\r\ntwo\r\nthree\r\n");
}

TEST_F(EventFile, SecondWriterGetsNoFileAndLeavesTheFirstOneAlone) {
    t_event_file first(path(), true);
    first.write_line("a");
    const std::string before = read_all(path());

    {
        t_event_file second(path(), true);
        EXPECT_FALSE(second.is_open());
        EXPECT_EQ(second.write_line("intruder"), 0);
        // Not even the blank lines and the header that an existing file would get.
        EXPECT_EQ(read_all(path()), before);
    }

    EXPECT_EQ(first.write_line("b"), 3);
    EXPECT_EQ(read_all(path()), before + "b\r\n");
}

TEST_F(EventFile, LockHoldsAgainstOtherProcessesAndGoesWithClose) {
    const std::string probe = "flock --nonblock --exclusive '" + path() + "' true";
    t_event_file file(path(), false);
    ASSERT_TRUE(file.is_open());
    EXPECT_NE(std::system(probe.c_str()), 0);
    file.close();
    EXPECT_EQ(std::system(probe.c_str()), 0);
}

// Paths a user may find at the log's place. None of them may block the program (a FIFO would
// wait for a reader forever) or take lines away, and each says why nothing is written.
struct UnusableCase {
    const char* name;
    // Puts something at `path`; may return a descriptor the test closes afterwards.
    int (*arrange)(const std::string& path);
    const char* reason;
};

class UnusablePaths : public EventFile, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusablePaths, GiveAClosedFileThatSaysWhy) {
    const int held = GetParam().arrange(path());
    {
        t_event_file file(path(), true);
        EXPECT_FALSE(file.is_open());
        EXPECT_EQ(file.failure(), GetParam().reason);
        EXPECT_EQ(file.write_line("x"), 0);
    }
    // Nothing is made through a link that points nowhere.
    EXPECT_FALSE(std::filesystem::exists(path() + ".target"));
    if (held >= 0) {
        char byte;
        // A reader on a FIFO got nothing of the header or the line.
        EXPECT_LE(::read(held, &byte, 1), 0);
        ::close(held);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnusablePaths,
                         ::testing::Values(UnusableCase{"FifoWithoutReader",
                                                        [](const std::string& p) {
                                                            ::mkfifo(p.c_str(), 0600);
                                                            return -1;
                                                        },
                                                        "not a regular file"},
                                           UnusableCase{"FifoWithReader",
                                                        [](const std::string& p) {
                                                            ::mkfifo(p.c_str(), 0600);
                                                            return ::open(p.c_str(),
                                                                          O_RDONLY | O_NONBLOCK);
                                                        },
                                                        "not a regular file"},
                                           UnusableCase{"DanglingLink",
                                                        [](const std::string& p) {
                                                            ::symlink((p + ".target").c_str(),
                                                                      p.c_str());
                                                            return -1;
                                                        },
                                                        "not a regular file"},
                                           UnusableCase{"Directory",
                                                        [](const std::string& p) {
                                                            std::filesystem::create_directory(p);
                                                            return -1;
                                                        },
                                                        "not a regular file"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventFile, LineThatDoesNotFitIsCutBackAndTheFileClosesSayingWhy) {
    write_all(path(), "old\r\n");
    t_event_file file(path(), false);
    const std::string before = read_all(path());
    {
        const test::FileSizeLimit limit(before.size() + 3);
        EXPECT_EQ(file.write_line("a line"), 0);
        EXPECT_EQ(file.last_write_size(), 3u);
        EXPECT_FALSE(file.is_open());
        EXPECT_EQ(file.failure(), "File too large");
    }
    EXPECT_EQ(file.write_line("later"), 0);
    EXPECT_EQ(read_all(path()), before);
}

TEST_F(EventFile, FileHeldByAnotherWriterSaysSoAndAnOpenOneSaysNothing) {
    t_event_file first(path(), true);
    EXPECT_EQ(first.failure(), "");
    t_event_file second(path(), true);
    EXPECT_FALSE(second.is_open());
    EXPECT_EQ(second.failure(), "in use by another program");
}

struct StampCase {
    const char* zone;
    std::time_t when;
    const char* text;
};

class TimeStamps : public ::testing::TestWithParam<StampCase> {};

TEST_P(TimeStamps, AreLocalDayMonthYearAnd24HourTime) {
    ::setenv("TZ", GetParam().zone, 1);
    ::tzset();
    EXPECT_EQ(t_event_file::time_stamp(GetParam().when), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Moments, TimeStamps,
                         ::testing::Values(StampCase{"UTC0", 1796549202, "06-12-2026 09:26:42"},
                                           StampCase{"UTC0", 1767323045, "02-01-2026 03:04:05"},
                                           StampCase{"UTC0", 1767225599, "31-12-2025 23:59:59"},
                                           StampCase{"XYZ-1", 1767225599, "01-01-2026 00:59:59"},
                                           StampCase{"XYZ+5", 1796549202, "06-12-2026 04:26:42"}));

}  // namespace
}  // namespace qel::log
