#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QTextBlock>
#include <filesystem>
#include <regex>
#include <vector>

#include "log/event_log.h"
#include "log/window_sinks.h"
#include "tests/log/test_support.h"

namespace qel::log {
namespace {

using test::read_all;

struct FileNameCase {
    const char* executable;
    const char* log;
};

class LogFileNames : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(LogFileNames, ReplaceOrAppendTheExtension) {
    EXPECT_EQ(log_file_name_for(GetParam().executable), GetParam().log);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LogFileNames,
    ::testing::Values(FileNameCase{"/opt/qel/qel_sn_reader", "/opt/qel/qel_sn_reader.log"},
                      FileNameCase{"/opt/qel/reader.bin", "/opt/qel/reader.log"},
                      FileNameCase{"/opt/q.el/reader", "/opt/q.el/reader.log"},
                      FileNameCase{"/opt/qel/reader.v1.1", "/opt/qel/reader.v1.log"},
                      FileNameCase{"", ""}));

// A log with every window sink attached and its message pump counted.
class EventLog : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        status_bar.add_panel(50);
        status_bar.add_panel(50);
        status_bar.set_panel_text(0, "p0");
        status_bar.set_panel_text(1, "p1");
        log = std::make_unique<t_event_log_ui>(file());
        log->set_memo(&memo);
        log->set_list(&list);
        log->set_status_bar(&status_bar);
        log->message_pump = [this] { ++pumps; };
    }

    std::string file() const { return (dir / "run.log").string(); }
    // The file's lines after its header.
    std::string file_lines() const {
        const std::string all = read_all(file());
        return all.substr(all.find("] ===\r\n") + 7);
    }

    Memo memo;
    ListBox list;
    StatusBar status_bar;
    std::unique_ptr<t_event_log_ui> log;
    int pumps = 0;
};

TEST_F(EventLog, EveryLineEndsWithCrLfInMemoAndFile) {
    log->add("a");
    log->add("b");
    EXPECT_EQ(memo.text(), "a\r\nb\r\n");
    EXPECT_EQ(memo.toPlainText(), "a\nb\n");
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(list.item(1)->text(), "b");
    EXPECT_EQ(file_lines(), "a\r\nb\r\n");
    EXPECT_EQ(pumps, 2);
}

TEST_F(EventLog, EmptyTextIsAnEmptyLine) {
    log->add("");
    EXPECT_EQ(memo.text(), "\r\n");
    EXPECT_EQ(file_lines(), "\r\n");
}

TEST_F(EventLog, WithTimePutsTheStampBeforeTheTextInEverySink) {
    log->add_line("a", true);
    const std::regex stamp(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d a)");
    ASSERT_GE(memo.text().size(), 2u);
    EXPECT_TRUE(std::regex_match(memo.text().substr(0, memo.text().size() - 2), stamp))
        << memo.text();
    EXPECT_EQ(memo.text().substr(memo.text().size() - 2), "\r\n");
    EXPECT_TRUE(std::regex_match(list.item(0)->text().toStdString(), stamp));
    const std::string line = file_lines();
    EXPECT_TRUE(std::regex_match(line.substr(0, line.size() - 2), stamp)) << line;
}

TEST_F(EventLog, HooksGetTheBareTextBeforeTheFileAndTheFileBeforeTheMemo) {
    static std::vector<std::string> seen;
    seen.clear();
    log->on_log = [](const std::string& text) { seen.push_back("on_log " + text); };
    log->on_log_method = [this](const std::string& text) {
        seen.push_back("on_log_method " + text);
        // Nothing has reached the file or the memo yet.
        EXPECT_EQ(file_lines(), "");
        EXPECT_EQ(memo.text(), "");
    };
    std::string file_when_memo_changed;
    QObject::connect(&memo, &QPlainTextEdit::textChanged,
                     [&] { file_when_memo_changed = file_lines(); });

    log->add_line("x", true);
    EXPECT_EQ(seen, (std::vector<std::string>{"on_log x", "on_log_method x"}));
    EXPECT_NE(file_when_memo_changed.find(" x\r\n"), std::string::npos);
}

struct LimitCase {
    const char* name;
    std::int32_t max_length;
    int earlier_lines;  // lines "aaaa" of 6 characters each with CR LF
    const char* memo;
};

class Limits : public EventLog, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, ClearTheSinksWhenTheTextIsLongerThanTheLimit) {
    for (int i = 0; i < GetParam().earlier_lines; ++i) {
        log->add("aaaa");
    }
    log->max_length = GetParam().max_length;
    log->add("new");
    EXPECT_EQ(memo.text(), GetParam().memo);
    EXPECT_EQ(list.count(),
              static_cast<int>(std::count(memo.text().begin(), memo.text().end(), '\n')));
    // The file keeps the whole history.
    EXPECT_EQ(file_lines().size(), 6u * GetParam().earlier_lines + 5u);
}

INSTANTIATE_TEST_SUITE_P(Cases, Limits,
                         ::testing::Values(LimitCase{"Over", 10, 2, "new\r\n"},
                                           LimitCase{"Equal", 12, 2, "aaaa\r\naaaa\r\nnew\r\n"},
                                           LimitCase{"None", 0, 2, "aaaa\r\naaaa\r\nnew\r\n"},
                                           LimitCase{"Negative", -1, 2, "aaaa\r\naaaa\r\nnew\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    int panels;  // -1: no status bar attached
    const char* text;
    int index;
    const char* panel0;
    const char* panel1;
    int pumps;
};

class Status : public EventLog, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, GoesIntoOnePanelAndPumpsUnlessIgnored) {
    const auto& c = GetParam();
    StatusBar bar;
    for (int i = 0; i < c.panels; ++i) {
        bar.add_panel(50);
        bar.set_panel_text(i, "p" + std::to_string(i));
    }
    log->set_status_bar(c.panels < 0 ? nullptr : &bar);

    log->set_status(c.text, c.index);
    EXPECT_EQ(bar.panel_text(0), c.panel0);
    EXPECT_EQ(bar.panel_text(1), c.panel1);
    EXPECT_EQ(pumps, c.pumps);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Status,
    ::testing::Values(StatusCase{"EmptyText", 2, "", 0, "p0", "p1", 0},
                      StatusCase{"Panel1", 2, "x", 1, "p0", "x", 1},
                      StatusCase{"IndexPastTheEndMeansPanel0", 2, "x", 5, "x", "p1", 1},
                      StatusCase{"IndexEqualToCountMeansPanel0", 2, "x", 2, "x", "p1", 1},
                      StatusCase{"NegativeIndexChangesNothingButPumps", 2, "x", -1, "p0", "p1", 1},
                      StatusCase{"NoPanels", 0, "x", 0, "", "", 0},
                      StatusCase{"NoStatusBar", -1, "x", 0, "", "", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventLog, ClearStatusLeavesOneBlank) {
    log->clear_status(0);
    EXPECT_EQ(status_bar.panel_text(0), " ");
    EXPECT_EQ(status_bar.panel(0)->text(), " ");
}

TEST_F(EventLog, AddStatusLogsTheLineAndShowsItInPanel0) {
    log->add_status("Searching...");
    EXPECT_EQ(memo.text(), "Searching...\r\n");
    EXPECT_EQ(status_bar.panel_text(0), "Searching...");
    EXPECT_EQ(pumps, 2);
}

TEST_F(EventLog, ClearEmptiesOnlyTheWindowSinksAndDoesNotPump) {
    log->add_status("x");
    pumps = 0;
    log->clear();
    EXPECT_EQ(memo.text(), "");
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(status_bar.panel_text(0), "x");
    EXPECT_EQ(file_lines(), "x\r\n");
    EXPECT_EQ(pumps, 0);
}

TEST_F(EventLog, CaretEndsAtTheNewestLineAndTheMemoScrollsThere) {
    memo.resize(200, 80);
    memo.show();
    for (int i = 0; i < 40; ++i) {
        log->add("line " + std::to_string(i));
    }
    EXPECT_EQ(memo.selection_start(), static_cast<int>(memo.text().size()));
    EXPECT_EQ(memo.textCursor().position(), memo.document()->characterCount() - 1);
    // The newest line is in view, the first one scrolled away.
    const auto line_rect = [&](int block) {
        return memo.cursorRect(QTextCursor(memo.document()->findBlockByNumber(block)));
    };
    const QRect view = memo.viewport()->rect();
    EXPECT_TRUE(view.contains(line_rect(39))) << line_rect(39).y();
    EXPECT_FALSE(view.intersects(line_rect(0)));
}

TEST_F(EventLog, MultiLineStatusShowsOnOneLineWithoutGrowingTheBar) {
    status_bar.resize(400, 20);
    status_bar.show();
    const int height = status_bar.sizeHint().height();
    log->set_status("Error when listing readers\r\n2148532270\r\nNo reader", 0);
    EXPECT_EQ(status_bar.panel_text(0), "Error when listing readers\r\n2148532270\r\nNo reader");
    EXPECT_EQ(status_bar.panel(0)->text(), "Error when listing readers 2148532270 No reader");
    EXPECT_EQ(status_bar.sizeHint().height(), height);
    // What the panel cuts off at its edge is still there to read, lines and all.
    EXPECT_EQ(status_bar.panel(0)->toolTip(),
              "Error when listing readers\r\n2148532270\r\nNo reader");
    log->clear_status(0);
    EXPECT_EQ(status_bar.panel(0)->toolTip(), "");
}

TEST(EventLogWithoutFile, EmptyNameWritesNoFileAndStillFillsTheMemo) {
    Memo memo;
    t_event_log_ui log("");
    log.set_memo(&memo);
    log.add("a");
    EXPECT_EQ(log.log_file(), nullptr);
    EXPECT_EQ(memo.text(), "a\r\n");
}

TEST(EventLogWithoutFile, MemoDestroyedFirstIsSkippedAndTheOtherSinksGoOn) {
    t_event_log_ui log("");
    StatusBar bar;
    bar.add_panel(50);
    log.set_status_bar(&bar);
    {
        Memo memo;
        log.set_memo(&memo);
    }
    log.add_status("a");
    log.clear();
    EXPECT_EQ(bar.panel_text(0), "a");
}

TEST(EventLogWithoutFile, ListAndStatusBarDestroyedFirstAreSkipped) {
    t_event_log_ui log("");
    Memo memo;
    log.set_memo(&memo);
    {
        ListBox list;
        StatusBar bar;
        bar.add_panel(50);
        log.set_list(&list);
        log.set_status_bar(&bar);
    }
    log.add_status("a");
    EXPECT_EQ(memo.text(), "a\r\n");
    log.clear();
    EXPECT_EQ(memo.text(), "");
}

TEST(EventLogBesideProgram, FileIsTheProgramPathWithLogExtension) {
    const auto expected = std::filesystem::canonical(test::program_path).string() + ".log";
    std::filesystem::remove(expected);
    {
        t_event_log_ui log;
        ASSERT_NE(log.log_file(), nullptr);
        EXPECT_EQ(log.log_file()->file_name(), expected);
        log.add("beside");
    }
    const std::string content = read_all(expected);
    std::filesystem::remove(expected);
    EXPECT_EQ(content.substr(0, 5), "=== [");
    EXPECT_EQ(content.substr(content.size() - 8), "beside\r\n");
}

}  // namespace
}  // namespace qel::log
