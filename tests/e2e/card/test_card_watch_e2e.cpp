// The card watch against the sandbox's pcscd and vpcd: virtual cards put in and pulled, the
// watch stopped from another thread, and the daemon stopped and started again under it.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card/CardWatch.h"
#include "tests/e2e/card/card_e2e.h"
#include "tests/e2e/support/sandbox_daemon.h"

namespace qel::card {

void PrintTo(const CardWatchEvent& event, std::ostream* out) {
    *out << card_watch_event_name(event.kind) << " " << event.reader;
}

}  // namespace qel::card

namespace qel::e2e {

namespace {

using card::CardWatchEvent;
using Kind = card::CardWatchEventKind;
using Clock = std::chrono::steady_clock;

const std::string kReader = kReaderNames[0];
const CardWatchEvent kInserted{Kind::CardInserted, kReader};
const CardWatchEvent kRemoved{Kind::CardRemoved, kReader};
const CardWatchEvent kLost{Kind::ServiceLost, {}};
const CardWatchEvent kBack{Kind::ServiceBack, {}};

// A watch on a thread of its own, and what it has reported so far.
class WatchThread {
public:
    WatchThread() : thread([this] { run(); }) {}
    ~WatchThread() { stop(); }

    // True once the watch has reported `expected` `count` times.
    bool wait_for(const CardWatchEvent& expected, std::ptrdiff_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDefaultTimeout, [&] {
            return std::count(reported.begin(), reported.end(), expected) >= count;
        });
    }

    // Stops the watch: how long its next() took to return.
    std::chrono::milliseconds stop() {
        if (!thread.joinable())
            return {};
        const auto asked = Clock::now();
        watch.stop();
        thread.join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(ended - asked);
    }

    std::vector<CardWatchEvent> events() {
        const std::lock_guard<std::mutex> lock(mutex);
        return reported;
    }

private:
    // A failure of next() leaves the thread and ends the test program with its text.
    void run() {
        while (auto next = watch.next()) {
            const std::lock_guard<std::mutex> lock(mutex);
            reported.push_back(*next);
            changed.notify_all();
        }
        ended = Clock::now();
    }

    card::CardWatch watch{card::CardWatchOptions{true, {}}};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CardWatchEvent> reported;
    Clock::time_point ended;
    std::thread thread;
};

using CardWatchE2e = CardE2eTest;

TEST_F(CardWatchE2e, InsertedPulledInsertedAgain_TwoInsertions_StopEndsTheWaitWithinASecond) {
    WatchThread watch;
    for (int round = 1; round <= 2; ++round) {
        VirtualCard card(0, {});
        ASSERT_TRUE(watch.wait_for(kInserted, round));
        card.stop();
        ASSERT_TRUE(watch.wait_for(kRemoved, round));
    }

    // Time to settle back into its wait, so that the stop has a wait to end.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(watch.stop().count(), 1000);
    EXPECT_EQ(watch.events(),
              (std::vector<CardWatchEvent>{kInserted, kRemoved, kInserted, kRemoved}));
}

TEST_F(CardWatchE2e, PcscdStoppedAndStarted_LostOnceBackOnce_TheNextCardIsSeen) {
    SandboxDaemon daemon;
    WatchThread watch;
    // This card leaves with the daemon, as vpcd's connection closes; a VirtualCard would look
    // for the reader to empty through the daemon that is gone.
    ChildProcess first(QEL_VCARD_PATH, {"--port", std::to_string(kReaderPorts[0]), "--parent",
                                        std::to_string(::getpid())});
    ASSERT_TRUE(watch.wait_for(kInserted));

    daemon.stop();
    ASSERT_TRUE(watch.wait_for(kLost));
    EXPECT_TRUE(first.wait_exit(kDefaultTimeout).has_value()) << first.log();
    daemon.start();
    ASSERT_TRUE(watch.wait_for(kBack));
    VirtualCard second(0, {});
    ASSERT_TRUE(watch.wait_for(kInserted, 2));
    watch.stop();

    const auto events = watch.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), kLost), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), kBack), 1);
    const auto back = std::find(events.begin(), events.end(), kBack);
    EXPECT_LT(std::find(events.begin(), events.end(), kLost), back);
    EXPECT_NE(std::find(back, events.end(), kInserted), events.end());
}

}  // namespace

}  // namespace qel::e2e
