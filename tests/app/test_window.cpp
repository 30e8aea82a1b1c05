#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>

#include "app/mfrm.h"
#include "util/Exception.h"

namespace qel::app {
namespace {

using Behaviour = t_qel_sc_base::test_behaviour;

std::string read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        t_qel_sc_base::reset_test_hook();
        std::string pattern = (std::filesystem::temp_directory_path() / "qel_app_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        frm = std::make_unique<Tfrm>((dir / "reader.log").string());
        frm->error_report = [this](const std::string& text) { reports.push_back(text); };
        frm->show();
        btn = frm->findChild<QPushButton*>("btnProcess");
        msg = frm->findChild<log::t_memo*>("msg");
        st = frm->findChild<log::t_status_bar*>("st");
        ASSERT_TRUE(btn && msg && st);
    }
    void TearDown() override {
        frm.reset();
        t_qel_sc_base::reset_test_hook();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    Behaviour& dongle() { return t_qel_sc_base::test_hook(); }
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
        EXPECT_EQ(dongle_state().constructed, dongle_state().destroyed);
        EXPECT_EQ(dongle_state().calls_on_dead_objects, 0);
    }
    static const Behaviour& dongle_state() { return t_qel_sc_base::test_hook(); }

    std::filesystem::path dir;
    std::unique_ptr<Tfrm> frm;
    QPushButton* btn = nullptr;
    log::t_memo* msg = nullptr;
    log::t_status_bar* st = nullptr;
    std::vector<std::string> reports;
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

TEST_F(Window, SecondPressShowsOnlyItsOwnRunButTheFileKeepsBoth) {
    press();
    dongle().last_error = "Card with specified AID is not found";
    dongle().constructs = true;
    press();
    const std::string second =
        "Searching...\r\nDongle can't be found: Card with specified AID is not "
        "found\r\nFinished\r\n";
    EXPECT_EQ(msg->text(), second);
    EXPECT_EQ(
        file_lines(),
        "Searching...\r\nDongle can't be found: Card-Reader is not found\r\nFinished\r\n" + second);
    EXPECT_EQ(dongle_state().aids, std::vector<std::string>{std::string("qel21\x01\x01\x01", 8)});
    expect_idle();
}

struct ConstructCase {
    const char* name;
    std::function<void()> thrower;
    const char* line;
};

class ConstructionFailures : public Window, public ::testing::WithParamInterface<ConstructCase> {};

TEST_P(ConstructionFailures, BecomeADongleNotFoundLine) {
    dongle().on_construct = GetParam().thrower;
    press();
    EXPECT_EQ(msg->text(), std::string("Searching...\r\n") + GetParam().line + "\r\nFinished\r\n");
    EXPECT_TRUE(reports.empty());
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ConstructionFailures,
    ::testing::Values(
        ConstructCase{
            "ListingFailed",
            [] { throw util::Exception("Error when listing readers\r\n2148532270\r\nx"); },
            "Dongle can't be found: Error when listing readers\r\n2148532270\r\nx"},
        ConstructCase{"StandardException", [] { throw std::runtime_error("no service"); },
                      "Dongle can't be found: no service"},
        ConstructCase{"OutOfMemory", [] { throw std::bad_alloc(); },
                      "Dongle can't be found: std::bad_alloc"},
        ConstructCase{"NotAnException", [] { throw 42; },
                      "Dongle can't be found: Unknown failure"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReadoutCase {
    const char* name;
    std::string serial_answer;
    std::uint16_t firmware;
    std::uint16_t error_code;
    const char* lines;
};

class Readouts : public Window, public ::testing::WithParamInterface<ReadoutCase> {};

TEST_P(Readouts, PrintSerialFirmwareAndNonZeroErrorCode) {
    const auto& c = GetParam();
    dongle().constructs = true;
    dongle().connects = true;
    dongle().serial_answer = c.serial_answer;
    dongle().firmware_version = c.firmware;
    dongle().error_code = c.error_code;
    bool disabled_while_reading = false;
    dongle().on_call = [&](const std::string& op) {
        if (op == "read_serial") {
            disabled_while_reading = !btn->isEnabled();
        }
    };

    press();
    const std::string run = std::string("Searching...\r\n") + c.lines + "Finished\r\n";
    EXPECT_EQ(msg->text(), run);
    EXPECT_EQ(file_lines(), run);
    EXPECT_EQ(st->panel_text(0), "Finished");
    EXPECT_TRUE(disabled_while_reading);
    EXPECT_EQ(dongle_state().calls,
              (std::vector<std::string>{"connect_by_aid", "reset_params", "read_serial",
                                        "read_firmware_version", "read_error_code"}));
    EXPECT_EQ(dongle_state().destroyed, 1);
    expect_idle();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Readouts,
    ::testing::Values(
        ReadoutCase{"Full", "\x0A\x1B\x2C\x3D\x4E\x5F\x60\x71", 266, 0x002A,
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\n"},
        ReadoutCase{"ErrorLowByteZero", "\x0A\x1B\x2C\x3D", 7, 0x0100,
                    "Serial No (S/N): 0A1B2C3D\r\nFirmware version: 0007\r\n"},
        ReadoutCase{"ShortSerialUpperCaseHex", "\xAB\xCD", 0xBEEF, 0x010A,
                    "Serial No (S/N): ABCD\r\nFirmware version: BEEF\r\nError Code: 0x0A\r\n"},
        ReadoutCase{"EmptyAnswers", "", 0, 0, "Serial No (S/N): \r\nFirmware version: 0000\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
    const char* failing;
    const char* lines;  // memo after the failure
};

class ReadoutFailures : public Window, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReadoutFailures, AreReportedAndLeaveTheWindowReadyWithoutFinished) {
    dongle().constructs = true;
    dongle().connects = true;
    dongle().serial_answer = "\x01\x02\x03\x04";
    dongle().error_code = 1;
    dongle().fail_in = GetParam().failing;
    dongle().failure_text = "Card error 6A82";

    press();
    EXPECT_EQ(reports, std::vector<std::string>{"Card error 6A82"});
    EXPECT_EQ(msg->text(), std::string("Searching...\r\n") + GetParam().lines);
    EXPECT_EQ(file_lines(), msg->text());
    EXPECT_EQ(dongle_state().calls.back(), GetParam().failing);
    EXPECT_EQ(dongle_state().destroyed, 1);
    expect_idle();

    // The next press runs normally.
    dongle().fail_in.clear();
    press();
    EXPECT_EQ(msg->text().substr(msg->text().size() - 10), "Finished\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ReadoutFailures,
    ::testing::Values(FailureCase{"reset_params", ""}, FailureCase{"read_serial", ""},
                      FailureCase{"read_firmware_version", "Serial No (S/N): 01020304\r\n"},
                      FailureCase{"read_error_code",
                                  "Serial No (S/N): 01020304\r\nFirmware version: 0000\r\n"}),
    [](const auto& info) { return std::string(info.param.failing); });

struct CloseCase {
    const char* name;
    bool connects;
    const char* close_after;  // the stand-in's operation after which a close is queued
    std::vector<std::string> calls;
    const char* lines;
};

class CloseDuringRun : public Window, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringRun, ReleasesTheDongleAndStopsUsingIt) {
    const auto& c = GetParam();
    dongle().constructs = true;
    dongle().connects = c.connects;
    dongle().serial_answer = "\x01\x02\x03\x04";
    dongle().error_code = 0x11;
    // The close request waits in the queue until the next message pump of the run.
    dongle().on_call = [&](const std::string& op) {
        if (op == c.close_after) {
            QMetaObject::invokeMethod(frm.get(), &QWidget::close, Qt::QueuedConnection);
        }
    };

    press();
    EXPECT_FALSE(frm->isVisible());
    EXPECT_EQ(frm->dongle, nullptr);
    EXPECT_EQ(dongle_state().constructed, 1);
    EXPECT_EQ(dongle_state().destroyed, 1);
    EXPECT_EQ(dongle_state().calls_on_dead_objects, 0);
    EXPECT_EQ(dongle_state().calls, c.calls);
    EXPECT_EQ(msg->text(), std::string("Searching...\r\n") + c.lines);
    EXPECT_TRUE(reports.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Moments, CloseDuringRun,
    ::testing::Values(
        CloseCase{"AfterConstruction",
                  true,
                  "constructor",
                  {"connect_by_aid", "reset_params", "read_serial"},
                  "Serial No (S/N): 01020304\r\n"},
        CloseCase{"AfterSerial",
                  true,
                  "read_serial",
                  {"connect_by_aid", "reset_params", "read_serial"},
                  "Serial No (S/N): 01020304\r\n"},
        CloseCase{"AfterFirmware",
                  true,
                  "read_firmware_version",
                  {"connect_by_aid", "reset_params", "read_serial", "read_firmware_version"},
                  "Serial No (S/N): 01020304\r\nFirmware version: 0000\r\n"},
        CloseCase{"AfterErrorCode",
                  true,
                  "read_error_code",
                  {"connect_by_aid", "reset_params", "read_serial", "read_firmware_version",
                   "read_error_code"},
                  "Serial No (S/N): 01020304\r\nFirmware version: 0000\r\nError Code: 0x11\r\n"},
        CloseCase{"AfterFailedConnection",
                  false,
                  "connect_by_aid",
                  {"connect_by_aid"},
                  "Dongle can't be found: Card with specified AID is not found\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Window, CloseBeforeTheFirstPumpStopsTheRunBeforeAnyDongle) {
    bool constructor_ran = false;
    dongle().on_construct = [&] { constructor_ran = true; };
    QMetaObject::invokeMethod(frm.get(), &QWidget::close, Qt::QueuedConnection);
    press();
    EXPECT_FALSE(frm->isVisible());
    EXPECT_FALSE(constructor_ran);
    EXPECT_EQ(msg->text(), "");
    EXPECT_EQ(frm->dongle, nullptr);
}

}  // namespace
}  // namespace qel::app
