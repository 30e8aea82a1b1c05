#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>

#include "tests/log/test_support.h"
#include "tests/support/fake_pcsc_fixture.h"
#include "window/mfrm.h"

namespace qel::app {
namespace {

using namespace qel::testing;

std::string read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const Bytes kSerialCommand{0x40, 0x10, 0x62, 0x12, 0x01, 0xFF};
const Bytes kFirmwareCommand{0x40, 0x10, 0x62, 0xB2, 0x01, 0xFF};
const Bytes kErrorCodeCommand{0x40, 0x10, 0x62, 0x20, 0x01, 0xFF};

// A directory of the test's own for log files; empty when none could be made.
std::filesystem::path make_scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qel_app_XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? std::filesystem::path(pattern)
                                                : std::filesystem::path();
}

class Window : public FakePcscTest {
protected:
    void SetUp() override {
        FakePcscTest::SetUp();
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
        frm = std::make_unique<Tfrm>((dir / "reader.log").string());
        frm->error_report = [this](const std::string& text) {
            // What the user sees while the box is up: the readout has stopped, nothing more.
            reports.push_back(text);
            transmits_at_report = pcsc.count("SCardTransmit");
            memo_at_report = msg->text();
            status_at_report = st->panel_text(0);
            file_at_report = file_lines();
            connections_at_report = pcsc.open_connections();
        };
        frm->show();
        btn = frm->findChild<QPushButton*>("btnProcess");
        msg = frm->findChild<log::Memo*>("msg");
        st = frm->findChild<log::StatusBar*>("st");
        ASSERT_TRUE(btn && msg && st);
    }
    void TearDown() override {
        frm.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        FakePcscTest::TearDown();
    }

    void press() { QTest::mouseClick(btn, Qt::LeftButton); }
    // The file's content after its header line.
    std::string file_lines() const {
        const std::string all = read_all(dir / "reader.log");
        const auto end = all.find("] ===\r\n");
        return end == std::string::npos ? all : all.substr(end + 7);
    }
    void expect_idle() const {
        EXPECT_TRUE(btn->isEnabled());
        EXPECT_EQ(frm->dongle, nullptr);
        EXPECT_EQ(pcsc.open_connections(), 0u);
        EXPECT_EQ(pcsc.open_contexts(), 0u);
        EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
    }
    // Queues a close of the window when the card receives `command`; it is handled at the
    // run's next message pump.
    void close_when_card_receives(fakepcsc::FakeCard& card, const Bytes& command) {
        card.responder = [this, command](const Bytes& sent) -> std::optional<Bytes> {
            if (sent == command) {
                QMetaObject::invokeMethod(frm.get(), &QWidget::close, Qt::QueuedConnection);
            }
            return std::nullopt;
        };
    }

    std::filesystem::path dir;
    std::unique_ptr<Tfrm> frm;
    QPushButton* btn = nullptr;
    log::Memo* msg = nullptr;
    log::StatusBar* st = nullptr;
    std::vector<std::string> reports;
    std::size_t transmits_at_report = 0;
    std::string memo_at_report;
    std::string status_at_report;
    std::string file_at_report;
    std::size_t connections_at_report = 0;
};

TEST_F(Window, CaptionAndApplicationTitleAreTheVersionedName) {
    EXPECT_EQ(frm->windowTitle(), "QEL S/N Reader v1.1");
    EXPECT_EQ(QApplication::applicationDisplayName(), "QEL S/N Reader v1.1");
}

TEST_F(Window, ControlsSitWhereTheLayoutPutsThemInAFixedSizeWindow) {
    EXPECT_EQ(frm->frameGeometry().width(), 400);
    EXPECT_EQ(frm->height(), 252);
    EXPECT_EQ(frm->minimumSize(), frm->maximumSize());
    EXPECT_EQ(msg->geometry(), QRect(4, 4, 386, 197));
    EXPECT_EQ(btn->geometry(), QRect(4, 206, 386, 25));
    EXPECT_EQ(st->geometry(), QRect(0, 232, frm->width(), 20));
    ASSERT_EQ(st->panel_count(), 1);
    EXPECT_GE(st->panel(0)->minimumWidth(), 50);
    EXPECT_TRUE(msg->isReadOnly());
    EXPECT_EQ(btn->text(), "Get Info");
    EXPECT_EQ(frm->font().pointSize(), 8);
    EXPECT_EQ(frm->focusWidget(), btn);
}

TEST_F(Window, PressWithoutReaderReportsItAndComesBackIdle) {
    press();
    const std::string run =
        "Searching...\r\nDongle can't be found: Card-Reader is not found\r\nFinished\r\n";
    EXPECT_EQ(msg->text(), run);
    EXPECT_EQ(st->panel_text(0), "Finished");
    EXPECT_EQ(file_lines(), run);
    EXPECT_TRUE(reports.empty());
    expect_idle();
}

TEST_F(Window, LogThatFillsUpDuringARunKeepsWholeLinesAndIsNamedWhenTheRunEnds) {
    const std::string before = read_all(dir / "reader.log");
    {
        // Room for a part of the first line only, as on a disk that has just filled up.
        const log::test::FileSizeLimit limit(before.size() + 5);
        press();
    }
    EXPECT_EQ(msg->text(),
              "Searching...\r\nDongle can't be found: Card-Reader is not found\r\nFinished\r\n");
    EXPECT_EQ(read_all(dir / "reader.log"), before);
    EXPECT_EQ(st->panel_text(0),
              "Log file not written (File too large): " + (dir / "reader.log").string());
    // Said once: the next run's lines stand in the panel as usual.
    press();
    EXPECT_EQ(st->panel_text(0), "Finished");
    EXPECT_EQ(read_all(dir / "reader.log"), before);
}

TEST_F(Window, SecondPressShowsOnlyItsOwnRunButTheFileKeepsBoth) {
    press();
    add_gp_card("Reader A");  // a card without the dongle applet
    press();
    const std::string second =
        "Searching...\r\nDongle can't be found: Card with specified AID is not "
        "found\r\nFinished\r\n";
    EXPECT_EQ(msg->text(), second);
    EXPECT_EQ(
        file_lines(),
        "Searching...\r\nDongle can't be found: Card-Reader is not found\r\nFinished\r\n" + second);
    EXPECT_EQ(sent(), std::vector<Bytes>{select_apdu(kDongleAid)});
    expect_idle();
}

struct ConstructCase {
    const char* name;
    void (*arrange)(fakepcsc::FakePcsc&);
    const char* line;
};

class ConstructionFailures : public Window, public ::testing::WithParamInterface<ConstructCase> {};

TEST_P(ConstructionFailures, BecomeADongleNotFoundLine) {
    GetParam().arrange(pcsc);
    press();
    EXPECT_EQ(msg->text(), std::string("Searching...\r\n") + GetParam().line + "\r\nFinished\r\n");
    EXPECT_EQ(st->panel_text(0), "Finished");
    EXPECT_TRUE(reports.empty());
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ConstructionFailures,
    ::testing::Values(
        ConstructCase{"NoReaderAttached",
                      [](auto& p) {
                          p.fail_always("SCardListReaders",
                                        static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
                      },
                      "Dongle can't be found: Error when listing readers\r\nSmartCard API error "
                      "#2148532270\r\nCannot find a smart card reader."},
        ConstructCase{"NoService",
                      [](auto& p) {
                          p.fail_always("SCardEstablishContext",
                                        static_cast<LONG>(SCARD_E_NO_SERVICE));
                      },
                      "Dongle can't be found: Error when establishing context\r\nSmartCard API "
                      "error #2148532253\r\nThe Smart card resource manager is not running."},
        ConstructCase{"ReaderHeldByAnotherProgram",
                      [](auto& p) {
                          p.add_reader("Reader A").connect_result =
                              static_cast<LONG>(SCARD_E_SHARING_VIOLATION);
                      },
                      "Dongle can't be found: Card with specified AID is not found\r\nThe card "
                      "in reader \"Reader A\" is in use by another program, or still busy with a "
                      "command that did not finish (then unplug it and plug it in again)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, WithoutThePcscLibraryEveryPressSaysTheServiceIsMissing) {
    card::UnloadWinSCard();
    press();
    EXPECT_EQ(
        msg->text(),
        "Searching...\r\nDongle can't be found: Error when establishing context\r\nSmartCard API "
        "error #2148532253\r\nThe Smart card resource manager is not running.\r\nFinished\r\n");
    EXPECT_TRUE(btn->isEnabled());
}

struct ReadoutCase {
    const char* name;
    DWORD protocol;
    Bytes serial, firmware, error_code;
    const char* lines;
};

class Readouts : public Window, public ::testing::WithParamInterface<ReadoutCase> {};

TEST_P(Readouts, PrintSerialFirmwareAndNonZeroErrorCode) {
    const auto& c = GetParam();
    auto& card = add_dongle("Reader A", c.protocol, c.serial, c.firmware, c.error_code);
    bool disabled_while_reading = false;
    card.responder = [&](const Bytes& command) -> std::optional<Bytes> {
        if (command == kSerialCommand)
            disabled_while_reading = !btn->isEnabled();
        return std::nullopt;
    };

    press();
    const std::string run = std::string("Searching...\r\n") + c.lines + "Finished\r\n";
    EXPECT_EQ(msg->text(), run);
    EXPECT_EQ(file_lines(), run);
    EXPECT_EQ(st->panel_text(0), "Finished");
    EXPECT_TRUE(disabled_while_reading);
    EXPECT_TRUE(reports.empty());
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Readouts,
    ::testing::Values(
        ReadoutCase{"FullT0",
                    SCARD_PROTOCOL_T0,
                    {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71},
                    {0x01, 0x0A},
                    {0x00, 0x2A},
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n"},
        ReadoutCase{"FullT1",
                    SCARD_PROTOCOL_T1,
                    {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71},
                    {0x01, 0x0A},
                    {0x00, 0x2A},
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n"},
        ReadoutCase{"ErrorLowByteZero",
                    SCARD_PROTOCOL_T1,
                    {0x0A, 0x1B, 0x2C, 0x3D},
                    {0x07},
                    {0x01, 0x00},
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 0007\r\n"},
        ReadoutCase{"ShortSerialUpperCaseHex",
                    SCARD_PROTOCOL_T0,
                    {0xAB, 0xCD},
                    {0xBE, 0xEF},
                    {0x01, 0x0A},
                    "Serial No (S/N): ABCD\r\nFirmware version: BEEF\r\nError Code: 0x0A\r\n"},
        ReadoutCase{"EmptyAnswers",
                    SCARD_PROTOCOL_T1,
                    {},
                    {},
                    {},
                    "Serial No (S/N): \r\nFirmware version: 0000\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* name;
    Bytes failing_command;
    Bytes answer;  // what the card answers to it; empty: the transmit itself fails
    const char* report;
    const char* lines;  // memo after the failure
};

class ReadoutFailures : public Window, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReadoutFailures, BecomeALineThenTheBoxAndLeaveTheWindowReadyWithoutFinished) {
    const auto& c = GetParam();
    auto& card = add_dongle("Reader A");
    if (c.answer.empty()) {
        // The transmit of the failing command breaks (T=1: SELECT, serial, firmware, error code).
        const int index = c.failing_command == kSerialCommand     ? 2
                          : c.failing_command == kFirmwareCommand ? 3
                                                                  : 4;
        pcsc.fail_call("SCardTransmit", index, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    } else {
        card.responder = [&](const Bytes& command) -> std::optional<Bytes> {
            if (command == c.failing_command)
                return c.answer;
            return std::nullopt;
        };
    }

    press();
    const std::string failure = std::string("Dongle can't be read: ") + c.report;
    const std::string run = std::string("Searching...\r\n") + c.lines + failure + "\r\n";
    EXPECT_EQ(reports, std::vector<std::string>{c.report});
    EXPECT_EQ(msg->text(), run);
    EXPECT_EQ(file_lines(), run);
    EXPECT_EQ(st->panel_text(0), failure);
    // The line was in every sink before the box came up, and the card was no longer held.
    EXPECT_EQ(memo_at_report, run);
    EXPECT_EQ(file_at_report, run);
    EXPECT_EQ(status_at_report, failure);
    EXPECT_EQ(connections_at_report, 0u);
    // The box came up with the failing command as the last one sent; nothing followed it.
    EXPECT_EQ(transmits_at_report, pcsc.count("SCardTransmit"));
    EXPECT_EQ(sent().back(), c.failing_command);
    expect_idle();

    // The next press runs normally.
    card.responder = nullptr;
    pcsc.scripted.clear();
    press();
    EXPECT_EQ(msg->text().substr(msg->text().size() - 10), "Finished\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ReadoutFailures,
    ::testing::Values(FailureCase{"SerialRefused",
                                  kSerialCommand,
                                  {0x6A, 0x82},
                                  "Card returned error message . ISO7816 error 0x6A82 (Wrong "
                                  "parameter(s) P1-P2. File not found)",
                                  ""},
                      FailureCase{"FirmwareRefused",
                                  kFirmwareCommand,
                                  {0x6A, 0x82},
                                  "Card returned error message . ISO7816 error 0x6A82 (Wrong "
                                  "parameter(s) P1-P2. File not found)",
                                  "Serial No (S/N): 0A1B2C3D\r\n"},
                      FailureCase{"ErrorCodeCardPulled",
                                  kErrorCodeCommand,
                                  {},
                                  "SCardTransmit error\r\nSmartCard API error #2148532329\r\nThe "
                                  "smart card has been removed, "
                                  "so that further communication is not possible.",
                                  "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CloseCase {
    const char* name;
    bool dongle_applet;
    Bytes close_when;  // the command during which a close is queued
    std::size_t transmits;
    const char* lines;
};

class CloseDuringRun : public Window, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringRun, ReleasesTheDongleAndStopsUsingIt) {
    const auto& c = GetParam();
    auto& card = c.dongle_applet ? add_dongle("Reader A") : add_gp_card("Reader A");
    close_when_card_receives(card, c.close_when);

    press();
    EXPECT_FALSE(frm->isVisible());
    EXPECT_EQ(frm->dongle, nullptr);
    // Nothing reached the card after its connection was closed.
    EXPECT_EQ(pcsc.count("SCardTransmit"), c.transmits);
    EXPECT_EQ(pcsc.log.back().function, "SCardReleaseContext");
    EXPECT_EQ(pcsc.open_connections(), 0u);
    EXPECT_EQ(pcsc.open_contexts(), 0u);
    EXPECT_EQ(msg->text(), std::string("Searching...\r\n") + c.lines);
    EXPECT_TRUE(reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Moments, CloseDuringRun,
    ::testing::Values(
        CloseCase{"DuringTheSearch", true, select_apdu(kDongleAid), 2,
                  "Serial No (S/N): 0A1B2C3D\r\n"},
        CloseCase{"DuringTheSerial", true, kSerialCommand, 2, "Serial No (S/N): 0A1B2C3D\r\n"},
        CloseCase{"DuringTheFirmware", true, kFirmwareCommand, 3,
                  "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\n"},
        CloseCase{"DuringTheErrorCode", true, kErrorCodeCommand, 4,
                  "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n"},
        CloseCase{"AfterAFailedSearch", false, select_apdu(kDongleAid), 1,
                  "Dongle can't be found: Card with specified AID is not found\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, CloseBeforeTheFirstPumpStopsTheRunBeforeAnyDongle) {
    add_dongle("Reader A");
    QMetaObject::invokeMethod(frm.get(), &QWidget::close, Qt::QueuedConnection);
    press();
    EXPECT_FALSE(frm->isVisible());
    EXPECT_EQ(pcsc.count("SCardEstablishContext"), 0u);
    EXPECT_EQ(msg->text(), "");
    EXPECT_EQ(frm->dongle, nullptr);
}

const std::string kDefaultReadout =
    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n";

TEST_F(Window, PressQueuedBeforeTheButtonGreysOutStartsNoSecondRun) {
    add_dongle("Reader A");
    // Handled at the run's first message pump, while the button is still enabled.
    QMetaObject::invokeMethod(btn, &QPushButton::click, Qt::QueuedConnection);
    press();
    EXPECT_EQ(pcsc.count("SCardEstablishContext"), 1u);
    EXPECT_EQ(msg->text(), "Searching...\r\n" + kDefaultReadout + "Finished\r\n");
    expect_idle();
}

// What reading on insertion hands the window while a run is under way: a press or a line about
// the PC/SC service. Either waits for the run's end, its message box included, and is not lost.
struct DeferredCase {
    const char* name;
    bool failing_run;  // the first run ends with a message box
    bool notice;       // a line comes in, not a press
    std::string file;  // what the log file holds afterwards
};

class DeferredDuringRun : public Window, public ::testing::WithParamInterface<DeferredCase> {};

TEST_P(DeferredDuringRun, WaitsForTheRunsEndAndIsNotLost) {
    const auto& c = GetParam();
    auto& card = add_dongle("Reader A");
    if (c.failing_run) {
        card.responder = [&](const Bytes& command) -> std::optional<Bytes> {
            if (command == kSerialCommand)
                return Bytes{0x6A, 0x82};
            return std::nullopt;
        };
    }
    const auto arrive = [this, &c, &card] {
        // The card answers the next run as a dongle does.
        card.responder = nullptr;
        if (c.notice)
            frm->notice_when_idle("The PC/SC service is back");
        else
            frm->press_when_idle();
    };
    if (c.failing_run) {
        // Arrives while the box is up.
        frm->error_report = [this, arrive](const std::string& text) {
            reports.push_back(text);
            arrive();
        };
    } else {
        // Arrives at the run's first message pump.
        QMetaObject::invokeMethod(frm.get(), arrive, Qt::QueuedConnection);
    }

    press();
    QCoreApplication::processEvents();
    EXPECT_EQ(file_lines(), c.file);
    EXPECT_EQ(reports.size(), c.failing_run ? 1u : 0u);
    expect_idle();
}

const std::string kRefusedSerial =
    "Searching...\r\nDongle can't be read: Card returned error message . ISO7816 error 0x6A82 "
    "(Wrong parameter(s) P1-P2. File not found)\r\n";

INSTANTIATE_TEST_SUITE_P(
    Arrivals, DeferredDuringRun,
    ::testing::Values(
        DeferredCase{"PressDuringARun", false, false,
                     "Searching...\r\n" + kDefaultReadout + "Finished\r\nSearching...\r\n" +
                         kDefaultReadout + "Finished\r\n"},
        DeferredCase{"PressWhileTheBoxIsUp", true, false,
                     kRefusedSerial + "Searching...\r\n" + kDefaultReadout + "Finished\r\n"},
        DeferredCase{
            "LineDuringARun", false, true,
            "Searching...\r\n" + kDefaultReadout + "Finished\r\nThe PC/SC service is back\r\n"},
        DeferredCase{"LineWhileTheBoxIsUp", true, true,
                     kRefusedSerial + "The PC/SC service is back\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeyCase {
    const char* name;
    Qt::Key key;
    bool focus_on_memo;
};

class Keys : public Window, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(Keys, PressGetInfoWhereverTheFocusIs) {
    add_dongle("Reader A");
    QWidget* target = GetParam().focus_on_memo ? static_cast<QWidget*>(msg) : btn;
    target->setFocus();
    QTest::keyClick(target, GetParam().key);
    EXPECT_EQ(msg->text(), "Searching...\r\n" + kDefaultReadout + "Finished\r\n");
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(Kinds, Keys,
                         ::testing::Values(KeyCase{"ReturnOnTheButton", Qt::Key_Return, false},
                                           KeyCase{"EnterOnTheButton", Qt::Key_Enter, false},
                                           KeyCase{"ReturnInTheMemo", Qt::Key_Return, true},
                                           KeyCase{"EnterInTheMemo", Qt::Key_Enter, true},
                                           KeyCase{"SpaceOnTheButton", Qt::Key_Space, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(std::function<void()> on_paint) : m_on_paint(std::move(on_paint)) {}
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            m_on_paint();
        return false;
    }

private:
    std::function<void()> m_on_paint;
};

TEST_F(Window, CardThatTakesItsTimeLeavesTheWindowPaintingAndTheRunGoesOn) {
    auto& card = add_dongle("Reader A");
    std::atomic<bool> in_call{false};
    std::promise<void> answer;
    std::shared_future<void> answer_now = answer.get_future().share();
    // The card answers the serial command only when the window has shown that it still paints.
    card.responder = [&](const Bytes& command) -> std::optional<Bytes> {
        if (command == kSerialCommand) {
            in_call = true;
            answer_now.wait_for(std::chrono::seconds(20));
            in_call = false;
        }
        return std::nullopt;
    };
    int paints_during_call = 0;
    PaintCounter counter([&] { paints_during_call += in_call ? 1 : 0; });
    frm->installEventFilter(&counter);
    std::string memo_during_call;
    bool enabled_during_call = true;
    bool answered = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!in_call || answered)
            return;
        memo_during_call = msg->text();
        enabled_during_call = btn->isEnabled();
        if (paints_during_call > 0) {
            answered = true;
            answer.set_value();
        } else {
            frm->update();
        }
    });
    ticker.start(5);

    press();
    ticker.stop();
    frm->removeEventFilter(&counter);
    EXPECT_TRUE(answered) << "no paint while the card was answering";
    EXPECT_EQ(memo_during_call, "Searching...\r\n");
    EXPECT_FALSE(enabled_during_call);
    EXPECT_EQ(msg->text(), "Searching...\r\n" + kDefaultReadout + "Finished\r\n");
    EXPECT_TRUE(reports.empty());
    expect_idle();
}

struct LogFileCase {
    const char* name;
    // Puts something at the log's path; returns the reason the window must give (empty: none).
    std::string (*arrange)(const std::filesystem::path& path,
                           std::unique_ptr<log::t_event_file>& holder);
};

class LogFilePlaces : public FakePcscTest, public ::testing::WithParamInterface<LogFileCase> {
protected:
    void SetUp() override {
        FakePcscTest::SetUp();
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        FakePcscTest::TearDown();
    }
    std::filesystem::path dir;
};

TEST_P(LogFilePlaces, UnwritableLogIsNamedOnceInTheStatusPanelOnly) {
    std::unique_ptr<log::t_event_file> holder;
    const auto path = dir / "reader.log";
    const std::string reason = GetParam().arrange(path, holder);
    Tfrm window(path.string());
    window.error_report = [](const std::string&) {};
    window.show();
    const std::string expected =
        reason.empty() ? "" : "Log file not written (" + reason + "): " + path.string();
    EXPECT_EQ(window.st->panel_text(0), expected);
    EXPECT_EQ(window.msg->text(), "");

    // The runs go on as usual, and the next one's status replaces the note.
    QTest::mouseClick(window.btnProcess, Qt::LeftButton);
    EXPECT_EQ(window.msg->text(),
              "Searching...\r\nDongle can't be found: Card-Reader is not found\r\nFinished\r\n");
    EXPECT_EQ(window.st->panel_text(0), "Finished");
}

INSTANTIATE_TEST_SUITE_P(
    Places, LogFilePlaces,
    ::testing::Values(LogFileCase{"Writable", [](const auto&, auto&) { return std::string(); }},
                      LogFileCase{"HeldByARunningInstance",
                                  [](const std::filesystem::path& p,
                                     std::unique_ptr<log::t_event_file>& h) {
                                      h = std::make_unique<log::t_event_file>(p.string(), true);
                                      return std::string("in use by another program");
                                  }},
                      LogFileCase{"Fifo",
                                  [](const std::filesystem::path& p, auto&) {
                                      ::mkfifo(p.c_str(), 0600);
                                      return std::string("not a regular file");
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::app
