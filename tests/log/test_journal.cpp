#include "log/journal.h"

#include <gtest/gtest.h>
#include <signal.h>

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
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            std::unique_lock lock(state->mutex);
            ++state->tries;
            if (sigismember(&mask, SIGTERM) != 1 || sigismember(&mask, SIGINT) != 1)
                state->signals_taken = true;
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
    bool signals_taken() const {
        const std::lock_guard lock(m_state->mutex);
        return m_state->signals_taken;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        Mode mode = Mode::Take;
        std::string why;
        std::vector<std::string> taken;
        int tries = 0;
        bool signals_taken = false;
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

// --- Outages, and what they cost -----------------------------------------------------------

// One phase of the journal's life: how it behaves while `entries` more are sent.
struct Phase {
    Mode mode;
    std::string why;
    int entries;
};

struct OutageCase {
    const char* name;
    std::vector<Phase> phases;  // after the last, the journal takes entries
    std::vector<std::string> notices;
    // The entries in the journal at the end, by ranges of their numbers, counted from 1.
    std::vector<std::pair<int, int>> taken;
};

class JournalOutages : public JournalTest, public ::testing::WithParamInterface<OutageCase> {};

TEST_P(JournalOutages, EachSaidAtItsStartAndItsEndWithWhatItLost) {
    start();
    int sent = 0;
    for (const Phase& phase : GetParam().phases) {
        fake.set(phase.mode, phase.why);
        const int tries = fake.tries();
        send(sent + 1, sent + phase.entries);
        sent += phase.entries;
        if (phase.mode == Mode::Take)
            ASSERT_TRUE(journal->drain());
        else
            ASSERT_TRUE(wait_until([&] { return fake.tries() > tries; }));
    }
    fake.set(Mode::Take);
    ASSERT_TRUE(journal->drain());
    journal.reset();
    std::vector<std::string> taken;
    for (const auto& [first, last] : GetParam().taken) {
        const std::vector<std::string> range = messages(first, last);
        taken.insert(taken.end(), range.begin(), range.end());
    }
    EXPECT_EQ(fake.taken(), taken);
    EXPECT_EQ(notices->said(), GetParam().notices);
    EXPECT_FALSE(fake.signals_taken());
}

const int kFull = static_cast<int>(Journal::kMaxQueued);

INSTANTIATE_TEST_SUITE_P(
    Journal, JournalOutages,
    ::testing::Values(
        OutageCase{"Refused",
                   {{Mode::Refuse, kRefused, 3}},
                   {"unreachable: " + kRefused, "again: 0"},
                   {{1, 3}}},
        OutageCase{
            "TwoOutagesTwoReasons",
            {{Mode::Take, "", 1},
             {Mode::Refuse, kRefused, 2},
             {Mode::Take, "", 1},
             {Mode::Refuse, kNoSocket, 1},
             {Mode::Refuse, kRefused, 1}},
            {"unreachable: " + kRefused, "again: 0", "unreachable: " + kNoSocket, "again: 0"},
            {{1, 6}}},
        OutageCase{"HeldTillTheLineIsFull",
                   {{Mode::Hold, "", kFull + 5}},
                   {"unreachable: " + kOverflow, "again: 5"},
                   {{1, kFull}}},
        OutageCase{"RefusedTillTheLineIsFull",
                   {{Mode::Refuse, kRefused, 1}, {Mode::Refuse, kRefused, kFull + 2}},
                   {"unreachable: " + kRefused, "again: 3"},
                   {{1, kFull}}},
        OutageCase{
            "FullAgainAfterAnOutage",
            {{Mode::Hold, "", kFull + 1}, {Mode::Take, "", 0}, {Mode::Hold, "", kFull + 2}},
            {"unreachable: " + kOverflow, "again: 1", "unreachable: " + kOverflow, "again: 2"},
            {{1, kFull}, {kFull + 2, 2 * kFull + 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The end ------------------------------------------------------------------------------

struct EndCase {
    const char* name;
    Mode mode;
    std::string why;
    bool by_destructor;
    std::vector<std::string> notices;  // after the end
};

class JournalEnds : public JournalTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(JournalEnds, SayWhatIsGivenUpOnceForTheBatch) {
    const EndCase& end = GetParam();
    start();
    fake.set(end.mode, end.why);
    send(1, 3);
    wait_for_try();
    const auto began = Clock::now();
    if (end.by_destructor) {
        journal.reset();
    } else {
        EXPECT_FALSE(journal->drain());
    }
    const auto took = Clock::now() - began;
    EXPECT_GE(took, Journal::kDrainTime - 50ms);
    EXPECT_LT(took, Journal::kDrainTime + 1s);
    EXPECT_EQ(notices->said(), end.notices);
    if (!end.by_destructor) {
        // Nothing waits any more: a second drain says nothing and is over at once.
        const auto again = Clock::now();
        EXPECT_TRUE(journal->drain());
        EXPECT_LT(Clock::now() - again, 500ms);
        EXPECT_EQ(notices->said(), end.notices);
        // What was given up counts among the outage's losses when the journal is back.
        fake.set(Mode::Take);
        send(4, 4);
        ASSERT_TRUE(wait_until([&] { return notices->count() == end.notices.size() + 1; }));
        EXPECT_EQ(notices->said().back(), "again: 3");
        EXPECT_EQ(fake.taken().back(), "MESSAGE=4");
    }
    // A journal that never lets go does not hold up the end.
    const auto destroyed = Clock::now();
    journal.reset();
    EXPECT_LT(Clock::now() - destroyed, 500ms);
    fake.set(Mode::Take);
}

INSTANTIATE_TEST_SUITE_P(
    Journal, JournalEnds,
    ::testing::Values(EndCase{"DrainRefused",
                              Mode::Refuse,
                              kNoSocket,
                              false,
                              {"unreachable: " + kNoSocket, unsent(3)}},
                      EndCase{"DrainHeld", Mode::Hold, "", false, {unsent(3)}},
                      EndCase{"DestructorRefused",
                              Mode::Refuse,
                              kNoSocket,
                              true,
                              {"unreachable: " + kNoSocket, unsent(3)}},
                      EndCase{"DestructorHeld", Mode::Hold, "", true, {unsent(3)}}),
    [](const auto& info) { return std::string(info.param.name); });

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

// --- libsystemd's way ---------------------------------------------------------------------

struct TransportCase {
    const char* name;
    const char* library;
    std::string open_reason;  // its start
    std::string send_reason;  // empty: send is not tried
};

class LibsystemdTransport : public ::testing::TestWithParam<TransportCase> {};

TEST_P(LibsystemdTransport, SaysWhyNoEntryGoes) {
    const TransportCase& tried = GetParam();
    JournalTransport transport = journal_transport(tried.library, "/nonexistent/qel/socket");
    const std::string opened = transport.open();
    if (tried.open_reason.empty() && !opened.empty())
        GTEST_SKIP() << opened;
    EXPECT_EQ(opened.substr(0, tried.open_reason.size()), tried.open_reason) << opened;
    if (!tried.send_reason.empty()) {
        EXPECT_EQ(transport.send({"MESSAGE=never sent"}), tried.send_reason);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Journal, LibsystemdTransport,
    ::testing::Values(
        TransportCase{"NoLibrary", "libqel-none.so.0", "libqel-none.so.0 cannot be loaded: ", ""},
        TransportCase{"NoSendFunction", "libc.so.6", "libc.so.6 has no sd_journal_sendv", ""},
        // Never reaches the journal: the socket is looked for first.
        TransportCase{"NoSocket", "libsystemd.so.0", "",
                      "the journal cannot be reached: no socket at /nonexistent/qel/socket"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::log
