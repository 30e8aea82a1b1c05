#include "log/journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qel::log {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const int kFull = static_cast<int>(Journal::kMaxQueued);

const std::string kRefused = "the journal cannot be reached: Connection refused";
const std::string kNoSocket = "the journal cannot be reached: no socket at /run/x/socket";
const std::string kOverflow =
    "the journal takes no entries; 256 wait unsent, the newer ones are dropped";

std::string unsent(std::size_t count) {
    return "unreachable: the journal took no entry within 2 s; " + std::to_string(count) +
           " not sent";
}

// Until `done` holds, or five seconds have passed: whether it holds.
template <class Done>
bool wait_until(Done done) {
    const auto deadline = Clock::now() + 5s;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A journal the test drives: it takes, refuses or holds (does not come back from) each entry as
// told. Shared with the journal's thread, which may outlive the test's Journal when held.
class FakeJournal {
public:
    enum class Mode { Take, Refuse, Hold };

    void set(Mode mode, std::string why = {}) {
        const std::lock_guard lock(m_state->mutex);
        m_state->mode = mode;
        m_state->why = std::move(why);
        m_state->changed.notify_all();
    }

    JournalTransport transport(std::string open_problem = {}) {
        JournalTransport transport;
        transport.open = [open_problem] { return open_problem; };
        transport.send = [state = m_state](const JournalEntry& entry) {
            std::unique_lock lock(state->mutex);
            ++state->tries;
            state->changed.notify_all();
            state->changed.wait(lock, [&] { return state->mode != Mode::Hold; });
            if (state->mode == Mode::Refuse)
                return state->why;
            state->taken.push_back(entry.at(0));
            return std::string();
        };
        return transport;
    }

    std::vector<std::string> taken() const {
        const std::lock_guard lock(m_state->mutex);
        return m_state->taken;
    }
    int tries() const {
        const std::lock_guard lock(m_state->mutex);
        return m_state->tries;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        Mode mode = Mode::Take;
        std::string why;
        std::vector<std::string> taken;
        int tries = 0;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

using Mode = FakeJournal::Mode;

// What the journal told, in order; `probe`, when set, runs inside each notice.
class Notices {
public:
    std::vector<std::string> said() const {
        const std::lock_guard lock(m_mutex);
        return m_said;
    }
    std::size_t count() const { return said().size(); }

    std::function<void()> probe;

    static Journal::Unreachable unreachable(const std::shared_ptr<Notices>& notices) {
        return [notices](const std::string& why) { notices->add("unreachable: " + why); };
    }
    static Journal::ReachableAgain reachable_again(const std::shared_ptr<Notices>& notices) {
        return [notices](std::size_t lost) { notices->add("again: " + std::to_string(lost)); };
    }

private:
    void add(std::string text) {
        if (probe)
            probe();
        const std::lock_guard lock(m_mutex);
        m_said.push_back(std::move(text));
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_said;
};

JournalEntry entry(int number) {
    return {"MESSAGE=" + std::to_string(number)};
}

std::vector<std::string> messages(int first, int last) {
    std::vector<std::string> all;
    for (int number = first; number <= last; ++number)
        all.push_back("MESSAGE=" + std::to_string(number));
    return all;
}

class JournalTest : public ::testing::Test {
protected:
    void start(std::string open_problem = {}) {
        journal = std::make_unique<Journal>(Notices::unreachable(notices),
                                            Notices::reachable_again(notices),
                                            fake.transport(std::move(open_problem)));
    }
    void send(int first, int last) {
        for (int number = first; number <= last; ++number)
            journal->send(entry(number));
    }
    // The journal's thread has handed an entry over at least once.
    void wait_for_try() {
        ASSERT_TRUE(wait_until([&] { return fake.tries() > 0; }));
    }

    FakeJournal fake;
    std::shared_ptr<Notices> notices = std::make_shared<Notices>();
    std::unique_ptr<Journal> journal;
};

// An outage told once at each end; here the journal that stops reading fills the line, past
// which the newest entries are dropped and counted. (Outages that end sooner, and what a stop
// says of them, are held end to end by the journal's e2e stations.)
TEST_F(JournalTest, AFullLineDropsTheNewestAndTheEndOfTheOutageCountsThem) {
    start();
    fake.set(Mode::Hold);
    send(1, kFull + 5);
    wait_for_try();
    fake.set(Mode::Take);
    ASSERT_TRUE(journal->drain());
    journal.reset();
    EXPECT_EQ(fake.taken(), messages(1, kFull));
    EXPECT_EQ(notices->said(), (std::vector<std::string>{"unreachable: " + kOverflow, "again: 5"}));
}

// The end gives up what still waits and says it once; a second drain says nothing, and what was
// given up counts among the outage's losses when the journal is back.
TEST_F(JournalTest, WhatTheEndGivesUpIsSaidOnceAndCountedAmongTheLosses) {
    start();
    fake.set(Mode::Refuse, kNoSocket);
    send(1, 3);
    wait_for_try();
    EXPECT_FALSE(journal->drain());
    EXPECT_TRUE(journal->drain());
    EXPECT_EQ(notices->said(), (std::vector<std::string>{"unreachable: " + kNoSocket, unsent(3)}));
    fake.set(Mode::Take);
    send(4, 4);
    ASSERT_TRUE(wait_until([&] { return notices->count() == 3; }));
    EXPECT_EQ(notices->said().back(), "again: 3");
    EXPECT_EQ(fake.taken(), messages(4, 4));
}

// As a stop signal's thread drains while the main thread ends the object: one notice for all.
TEST_F(JournalTest, DrainsBesideEachOtherAndTheDestructorSayTheBatchOnce) {
    start();
    fake.set(Mode::Refuse, kRefused);
    send(1, 4);
    wait_for_try();
    Journal* const ending = journal.get();
    std::vector<std::future<bool>> drains;
    for (int i = 0; i < 2; ++i)
        drains.push_back(std::async(std::launch::async, [ending] { return ending->drain(); }));
    journal.reset();
    for (auto& drain : drains)
        EXPECT_FALSE(drain.get());
    EXPECT_EQ(notices->said(), (std::vector<std::string>{"unreachable: " + kRefused, unsent(4)}));
}

TEST_F(JournalTest, NoLibraryIsSaidOnceAndNothingWaitsForIt) {
    const std::string problem = "libsystemd.so.0 cannot be loaded: gone";
    start(problem);
    send(1, 3);
    ASSERT_TRUE(wait_until([&] { return notices->count() == 1; }));
    send(4, 4);
    const auto began = Clock::now();
    EXPECT_TRUE(journal->drain());
    journal.reset();
    EXPECT_LT(Clock::now() - began, 500ms);
    EXPECT_EQ(notices->said(), std::vector<std::string>{"unreachable: " + problem});
    EXPECT_EQ(fake.tries(), 0);
}

// Each notice sends an entry from another thread, which must not wait for the notice to end.
TEST_F(JournalTest, NoNoticeIsToldUnderTheQueuesLock) {
    std::mutex mutex;
    std::vector<bool> prompt;
    std::vector<std::thread> probes;
    notices->probe = [&] {
        auto sent = std::make_shared<std::promise<void>>();
        std::future<void> done = sent->get_future();
        const std::lock_guard lock(mutex);
        probes.emplace_back([this, sent] {
            journal->send({"MESSAGE=probe"});
            sent->set_value();
        });
        prompt.push_back(done.wait_for(1s) == std::future_status::ready);
    };
    start();
    fake.set(Mode::Refuse, kRefused);  // told on the journal's thread
    send(1, 1);
    ASSERT_TRUE(wait_until([&] { return notices->count() == 1; }));
    fake.set(Mode::Take);  // told on the journal's thread
    ASSERT_TRUE(wait_until([&] { return notices->count() == 2; }));
    fake.set(Mode::Hold);
    send(2, kFull + 2);  // told on the sender's thread
    ASSERT_TRUE(wait_until([&] { return notices->count() == 3; }));
    EXPECT_FALSE(journal->drain());  // told on the drain's thread
    for (std::thread& probe : probes)
        probe.join();
    // The drain's probe left an entry that the end would give up, and say.
    notices->probe = nullptr;
    fake.set(Mode::Take);
    journal.reset();
    EXPECT_EQ(prompt, std::vector<bool>(4, true));
    EXPECT_EQ(notices->said().at(3), unsent(kFull));
}

}  // namespace
}  // namespace qel::log
