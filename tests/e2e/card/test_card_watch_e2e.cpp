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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "card/CardWatch.h"
#include "tests/e2e/card/card_e2e.h"
#include "tests/e2e/support/child_process.h"

extern char** environ;

namespace qel::card {

void PrintTo(const CardWatchEvent& event, std::ostream* out) {
    *out << card_watch_event_name(event.kind);
    if (!event.reader.empty())
        *out << " \"" << event.reader << "\"";
}

}  // namespace qel::card

namespace qel::e2e {

namespace {

using card::CardWatchEvent;
using Kind = card::CardWatchEventKind;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollStep{10};

CardWatchEvent event(Kind kind, std::string reader = {}) {
    return CardWatchEvent{kind, std::move(reader)};
}

std::ptrdiff_t position(const std::vector<CardWatchEvent>& events, const CardWatchEvent& e,
                        std::ptrdiff_t from = 0) {
    return std::find(events.begin() + from, events.end(), e) - events.begin();
}

// A watch on a thread of its own, and what it has reported so far.
class WatchThread {
public:
    WatchThread() : watch(card::CardWatchOptions{true, {}}), thread([this] { run(); }) {}
    ~WatchThread() { stop(); }

    WatchThread(const WatchThread&) = delete;
    WatchThread& operator=(const WatchThread&) = delete;

    // True once the watch has reported `expected` `count` times.
    bool wait_for(const CardWatchEvent& expected, std::ptrdiff_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kDefaultTimeout, [&] {
            return !m_failure.empty() ||
                   std::count(m_events.begin(), m_events.end(), expected) >= count;
        }) && m_failure.empty();
    }

    // Stops the watch; how long its next() took to return.
    milliseconds stop() {
        if (!thread.joinable())
            return milliseconds(0);
        const auto asked = Clock::now();
        watch.stop();
        thread.join();
        return std::chrono::duration_cast<milliseconds>(ended - asked);
    }

    std::vector<CardWatchEvent> events() {
        const std::lock_guard<std::mutex> lock(mutex);
        return m_events;
    }
    std::string failure() {
        const std::lock_guard<std::mutex> lock(mutex);
        return m_failure;
    }

private:
    void run() {
        try {
            while (auto next = watch.next()) {
                const std::lock_guard<std::mutex> lock(mutex);
                m_events.push_back(*next);
                changed.notify_all();
            }
        } catch (const std::exception& e) {
            const std::lock_guard<std::mutex> lock(mutex);
            m_failure = e.what();
            changed.notify_all();
        }
        ended = Clock::now();
    }

    card::CardWatch watch;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CardWatchEvent> m_events;
    std::string m_failure;
    Clock::time_point ended;
    std::thread thread;
};

bool process_gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pid_field, name, state;
    return !(stat >> pid_field >> name >> state) || state == "Z";
}

std::vector<std::string> command_line(pid_t pid) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(cmdline, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

// The sandbox's pcscd, stopped and started again with its own command line. Only a daemon that
// runs on the sandbox's configuration is ever touched; one started here is left running for the
// tests that follow.
class SandboxDaemon {
public:
    SandboxDaemon() {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const pid_t candidate = static_cast<pid_t>(std::stol(name));
            const std::vector<std::string> arguments = command_line(candidate);
            const bool sandbox_config =
                std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) {
                    return a.find("qel-pcsc-sandbox") != std::string::npos;
                });
            if (!arguments.empty() && std::filesystem::path(arguments[0]).filename() == "pcscd" &&
                sandbox_config && !process_gone(candidate)) {
                pid = candidate;
                command = arguments;
                return;
            }
        }
        throw std::runtime_error("no pcscd of the sandbox is running");
    }

    void stop() {
        if (::kill(pid, SIGTERM) != 0)
            throw std::runtime_error(std::string("cannot stop pcscd: ") + std::strerror(errno));
        const Deadline deadline(kDefaultTimeout);
        while (!gone()) {
            if (deadline.passed())
                throw std::runtime_error("pcscd does not end");
            std::this_thread::sleep_for(kPollStep);
        }
    }

    // Returns once the new daemon lists the first virtual reader.
    void start() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const char* log = std::getenv("QEL_SANDBOX_PCSCD_LOG");
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
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
            throw std::runtime_error(std::string("cannot start pcscd: ") + std::strerror(error));
        own_child = true;

        const Deadline deadline(kDefaultTimeout);
        for (;;) {
            try {
                const PcscContext context;
                const auto readers = context.readers();
                if (std::find(readers.begin(), readers.end(), kReaderNames[0]) != readers.end())
                    return;
            } catch (const PcscError&) {
                // not listening yet
            }
            if (gone() || deadline.passed())
                throw std::runtime_error("the new pcscd does not come up");
            std::this_thread::sleep_for(kPollStep);
        }
    }

private:
    bool gone() {
        if (!own_child)
            return process_gone(pid);
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == pid;
    }

    pid_t pid = -1;
    std::vector<std::string> command;
    bool own_child = false;
};

class CardWatchE2e : public CardE2eTest {};

TEST_F(CardWatchE2e, InsertedPulledInsertedAgain_TwoInsertions_StopEndsTheWaitWithinASecond) {
    const std::string reader = kReaderNames[0];
    WatchThread watch;
    {
        VirtualCard card(0, {});
        ASSERT_TRUE(watch.wait_for(event(Kind::CardInserted, reader))) << watch.failure();
        card.stop();
        ASSERT_TRUE(watch.wait_for(event(Kind::CardRemoved, reader))) << watch.failure();
    }
    {
        VirtualCard card(0, {});
        ASSERT_TRUE(watch.wait_for(event(Kind::CardInserted, reader), 2)) << watch.failure();
    }
    ASSERT_TRUE(watch.wait_for(event(Kind::CardRemoved, reader), 2)) << watch.failure();

    // Time to settle back into its wait, so that the stop has a wait to end.
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_LT(watch.stop().count(), 1000);
    EXPECT_EQ(watch.events(),
              (std::vector<CardWatchEvent>{
                  event(Kind::CardInserted, reader), event(Kind::CardRemoved, reader),
                  event(Kind::CardInserted, reader), event(Kind::CardRemoved, reader)}));
}

TEST_F(CardWatchE2e, PcscdStoppedAndStarted_LostOnceBackOnce_TheNextCardIsSeen) {
    const std::string reader = kReaderNames[0];
    SandboxDaemon daemon;
    WatchThread watch;

    // This card leaves with the daemon (vpcd's connection closes), so it is not a VirtualCard,
    // which would look for the reader to empty through the daemon that is gone.
    ChildProcess first(QEL_VCARD_PATH, {"--port", std::to_string(kReaderPorts[0]), "--parent",
                                        std::to_string(::getpid())});
    ASSERT_TRUE(watch.wait_for(event(Kind::CardInserted, reader))) << watch.failure();

    daemon.stop();
    ASSERT_TRUE(watch.wait_for(event(Kind::ServiceLost))) << watch.failure();
    EXPECT_TRUE(first.wait_exit(kDefaultTimeout).has_value()) << first.log();
    daemon.start();
    ASSERT_TRUE(watch.wait_for(event(Kind::ServiceBack))) << watch.failure();

    VirtualCard second(0, {});
    ASSERT_TRUE(watch.wait_for(event(Kind::CardInserted, reader), 2)) << watch.failure();
    watch.stop();

    const auto events = watch.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), event(Kind::ServiceLost)), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), event(Kind::ServiceBack)), 1);
    const auto back = position(events, event(Kind::ServiceBack));
    EXPECT_LT(position(events, event(Kind::ServiceLost)), back);
    EXPECT_LT(back, position(events, event(Kind::CardInserted, reader), back));
}

}  // namespace

}  // namespace qel::e2e
