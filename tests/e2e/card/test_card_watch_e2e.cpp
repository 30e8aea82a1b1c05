// The card watch against the sandbox's pcscd and vpcd: virtual cards put in and pulled, the
// watch stopped from another thread, and the daemon stopped and started again under it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "card/CardWatch.h"
#include "tests/e2e/card/card_e2e.h"

extern char** environ;

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

std::vector<std::string> command_line(const std::filesystem::path& process) {
    std::ifstream in(process / "cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

// The sandbox's pcscd, stopped and started again with its command line. Only a daemon that runs
// on the sandbox's configuration is touched; the one started here stays for the tests after.
class SandboxDaemon {
public:
    SandboxDaemon() {
        for (const auto& process : std::filesystem::directory_iterator("/proc")) {
            command = command_line(process.path());
            if (!command.empty() && std::filesystem::path(command[0]).filename() == "pcscd" &&
                std::any_of(command.begin(), command.end(), [](const std::string& a) {
                    return a.find("qel-pcsc-sandbox") != std::string::npos;
                })) {
                pid = std::stoi(process.path().filename().string());
                return;
            }
        }
        throw std::runtime_error("no pcscd of the sandbox is running");
    }

    void stop() {
        ::kill(pid, SIGTERM);
        // Not our child: it is gone once its process entry is, or a zombie.
        const Deadline deadline(kDefaultTimeout);
        for (std::string state; !deadline.passed(); std::this_thread::sleep_for(kStep)) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string field;
            if (!(stat >> field >> field >> state) || state == "Z")
                return;
        }
        throw std::runtime_error("pcscd does not end");
    }

    // Returns once the new daemon lists the reader.
    void start() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const char* log = std::getenv("QEL_SANDBOX_PCSCD_LOG");
        posix_spawn_file_actions_addopen(&actions, 1, log != nullptr ? log : "/dev/null",
                                         O_WRONLY | O_APPEND | O_CREAT, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (std::string& argument : command)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start pcscd");
        for (const Deadline deadline(kDefaultTimeout); !deadline.passed();
             std::this_thread::sleep_for(kStep)) {
            try {
                const auto readers = PcscContext().readers();
                if (std::find(readers.begin(), readers.end(), kReader) != readers.end())
                    return;
            } catch (const PcscError&) {
                // not listening yet
            }
        }
        throw std::runtime_error("the new pcscd lists no reader");
    }

private:
    static constexpr std::chrono::milliseconds kStep{10};
    pid_t pid = -1;
    std::vector<std::string> command;
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
