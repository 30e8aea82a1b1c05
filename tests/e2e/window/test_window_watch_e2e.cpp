// The window reading on insertion: the same watch and the same press, through pcsc-lite, the
// sandbox's pcscd, vpcd and virtual dongles put in and pulled.

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/support/e2e_test.h"
#include "tests/e2e/support/sandbox_daemon.h"
#include "tests/e2e/window/window_harness.h"
#include "window/window_watch.h"

namespace qel::e2e {
namespace {

std::string run_of(const std::string& serial) {
    return "Searching...\r\nSerial No (S/N): " + serial +
           "\r\nFirmware version: 010A\r\nError Code: 0x2A\r\nFinished\r\n";
}

const std::string kNoAppletRun =
    "Searching...\r\nDongle can't be found: Card with specified AID is not found\r\nFinished\r\n";
const std::string kStopped = "The PC/SC service has stopped; waiting for it to come back\r\n";
const std::string kBack = "The PC/SC service is back\r\n";

struct Step {
    enum Action { Insert, Pull, RestartService } action;
    int reader;
    std::vector<std::string> card;
    std::string awaited;  // what the log file holds once the step is over
};

struct WatchCase {
    const char* name;
    bool card_before_watch;  // a dongle with serial 01010101 in reader 0 before the watch starts
    std::vector<Step> steps;
};

class WindowWatch : public E2eTest, public ::testing::WithParamInterface<WatchCase> {
protected:
    // The window's events run meanwhile: the watch's presses are queued there.
    bool wait_for_log(const WindowUnderTest& window, const std::string& lines) {
        for (const Deadline deadline(kDefaultTimeout); !deadline.passed();) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::string logged;
            if (split_log_file(window.log_file(), logged) && logged == lines)
                return true;
        }
        return false;
    }
};

TEST_P(WindowWatch, EachInsertionIsOnePressAndNothingElse) {
    const WatchCase& c = GetParam();
    WindowUnderTest window;
    // Owned here: a card pulled before the service restarts must not be looked for afterwards
    // through the service that is gone.
    std::unique_ptr<VirtualCard> cards[2];
    std::string expected;
    if (c.card_before_watch) {
        cards[0] =
            std::make_unique<VirtualCard>(0, std::vector<std::string>{"--serial", "01010101"});
        expected = run_of("01010101");
    }
    std::optional<app::WindowInsertionWatch> watch(std::in_place, window.frm());
    if (c.card_before_watch) {
        ASSERT_TRUE(wait_for_log(window, expected)) << window.log_file();
    }

    for (const Step& step : c.steps) {
        switch (step.action) {
            case Step::Insert:
                cards[step.reader] = std::make_unique<VirtualCard>(step.reader, step.card);
                break;
            case Step::Pull:
                ASSERT_EQ(cards[step.reader]->stop(), 0);
                cards[step.reader].reset();
                break;
            case Step::RestartService:
                SandboxDaemon().restart();
                break;
        }
        expected += step.awaited;
        ASSERT_TRUE(wait_for_log(window, expected)) << "expected:\n"
                                                    << expected << "\nlog file:\n"
                                                    << window.log_file();
    }
    // A press too many would come within this time.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
    std::string logged;
    ASSERT_TRUE(split_log_file(window.log_file(), logged));
    EXPECT_EQ(logged, expected);
    EXPECT_TRUE(window.reports.empty());
    EXPECT_TRUE(window.button_enabled());
    EXPECT_FALSE(window.holds_dongle());

    const auto before = std::chrono::steady_clock::now();
    watch.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

INSTANTIATE_TEST_SUITE_P(
    Insertions, WindowWatch,
    ::testing::Values(
        WatchCase{"InPulledInAgainWithAnotherSerialT1",
                  false,
                  {{Step::Insert, 0, {"--serial", "11111111"}, run_of("11111111")},
                   {Step::Pull, 0, {}, ""},
                   {Step::Insert, 0, {"--t1", "--serial", "22222222"}, run_of("22222222")}}},
        WatchCase{"ADongleInsertedBeforeTheWatchIsReadOnce", true, {}},
        WatchCase{"CardWithoutTheDongleIsOneNotFoundRunThenADongleIsRead",
                  false,
                  {{Step::Insert, 0, {"--no-applet"}, kNoAppletRun},
                   // A press reads the first dongle of all readers, past the plain card.
                   {Step::Insert, 1, {"--serial", "33333333"}, run_of("33333333")}}},
        WatchCase{"ServiceStoppedAndStartedAgainIsToldOnceEach",
                  false,
                  {{Step::Insert, 0, {"--serial", "44444444"}, run_of("44444444")},
                   {Step::Pull, 0, {}, ""},
                   {Step::RestartService, 0, {}, kStopped + kBack},
                   {Step::Insert, 0, {"--serial", "55555555"}, run_of("55555555")}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::e2e
