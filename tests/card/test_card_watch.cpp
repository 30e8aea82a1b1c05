#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "card/CardWatch.h"
#include "card/WinSCard.h"
#include "tests/fakepcsc/fake_pcsc.h"

namespace qel::card {

void PrintTo(const CardWatchEvent& event, std::ostream* out) {
    *out << card_watch_event_name(event.kind);
    if (!event.reader.empty())
        *out << " \"" << event.reader << "\"";
}

namespace {

using Kind = CardWatchEventKind;
using fakepcsc::FakePcsc;
using Change = std::function<void(FakePcsc&)>;

// Long enough never to be reached by a watch that works, on a loaded machine too.
constexpr std::chrono::seconds kBound{5};

CardWatchEvent event(Kind kind, std::string reader = {}) {
    return CardWatchEvent{kind, std::move(reader)};
}

struct Failure {
    std::string function;
    int call;
    LONG code;
};

class CardWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        pcsc.reset();
        ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
        char name[] = "/tmp/qel-card-watch.XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        socket_dir = name;
        options.socket_path = (socket_dir / "pcscd.comm").string();
    }
    void TearDown() override {
        UnloadWinSCard();
        std::filesystem::remove_all(socket_dir);
    }

    // Runs a watch on a thread of its own until the fake has made every change and blocks for
    // good, then stops it: the events it reported, in order.
    std::vector<CardWatchEvent> events_until_idle() {
        std::vector<CardWatchEvent> events;
        {
            CardWatch watch(options);
            auto watching = std::async(std::launch::async, [&] {
                while (auto next = watch.next())
                    events.push_back(*next);
            });
            EXPECT_TRUE(fakepcsc::wait_until_blocked(kBound)) << "the watch never waited";
            watch.stop();
            EXPECT_EQ(watching.wait_for(kBound), std::future_status::ready) << "stop() ignored";
            watching.get();
        }
        EXPECT_EQ(pcsc.open_contexts(), 0u);
        EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
        // An endless wait, never a poll.
        for (const auto& wait : pcsc.calls("SCardGetStatusChange"))
            EXPECT_EQ(wait.buffer_size, INFINITE);
        return events;
    }

    FakePcsc& pcsc = fakepcsc::state();
    CardWatchOptions options;
    std::filesystem::path socket_dir;
};

// --- what a watch reports, from readers, changes and failures ----------------------------------

struct WatchCase {
    const char* name;
    std::vector<std::pair<std::string, bool>> readers;  // name, card present at start
    std::vector<Change> changes;
    std::vector<CardWatchEvent> expected;
    bool report_present_cards = false;
    std::vector<Failure> failures = {};
};

// Single-letter names would end the reader list as its closing empty name does.
const std::string kA = "Reader A";
const std::string kB = "Reader B";

Change insert(std::string reader) {
    return [reader](FakePcsc& pcsc) { pcsc.reader(reader).insert_card(); };
}
Change remove(std::string reader) {
    return [reader](FakePcsc& pcsc) { pcsc.reader(reader).remove_card(); };
}

class CardWatchEvents : public CardWatchTest, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(CardWatchEvents, ReportsEachChangeOnce) {
    const WatchCase& c = GetParam();
    for (const auto& [name, present] : c.readers)
        pcsc.add_reader(name).card_present = present;
    pcsc.status_changes.assign(c.changes.begin(), c.changes.end());
    for (const Failure& f : c.failures)
        pcsc.fail_call(f.function, f.call, f.code);
    options.report_present_cards = c.report_present_cards;

    EXPECT_EQ(events_until_idle(), c.expected);
}

std::vector<WatchCase> service_loss_cases() {
    std::vector<WatchCase> cases;
    // Shut down under the wait, restarted since the context was made, connection broken (what
    // pcsc-lite 1.9.9 answers a wait whose service is stopped).
    for (const auto& [name, code] : {std::pair{"NoService", SCARD_E_NO_SERVICE},
                                     {"ServiceStopped", SCARD_E_SERVICE_STOPPED},
                                     {"InvalidHandle", SCARD_E_INVALID_HANDLE},
                                     {"CommError", SCARD_F_COMM_ERROR}}) {
        cases.push_back(
            {name,
             {{kA, false}},
             {insert(kA)},
             {event(Kind::ServiceLost), event(Kind::ServiceBack), event(Kind::CardInserted, kA)},
             false,
             {{"SCardGetStatusChange", 2, code}}});
    }
    return cases;
}

std::vector<WatchCase> watch_cases() {
    std::vector<WatchCase> cases = {
        {"InsertionReportedOnce",
         {{kA, false}, {kB, false}},
         {insert(kA), insert(kB)},
         {event(Kind::CardInserted, kA), event(Kind::CardInserted, kB)}},
        {"Removal", {{kA, true}}, {remove(kA)}, {event(Kind::CardRemoved, kA)}},
        {"CardsThereAtStartStayQuiet",
         {{kA, true}, {kB, false}},
         {insert(kB)},
         {event(Kind::CardInserted, kB)}},
        {"CardsThereAtStartReportedWhenAsked",
         {{kA, true}, {kB, false}},
         {},
         {event(Kind::CardInserted, kA)},
         true},
        {"InsertRemoveInsert",
         {{kA, false}},
         {insert(kA), remove(kA), insert(kA)},
         {event(Kind::CardInserted, kA), event(Kind::CardRemoved, kA),
          event(Kind::CardInserted, kA)}},
        {"CardSwappedBetweenLooks",
         {{kA, true}},
         {[](FakePcsc& pcsc) { pcsc.reader(kA).card_events += 2; }},
         {event(Kind::CardRemoved, kA), event(Kind::CardInserted, kA)}},
        {"ReaderAddedWithItsCard",
         {{kA, false}},
         {[](FakePcsc& pcsc) { pcsc.add_reader(kB).card_present = true; }},
         {event(Kind::ReaderAdded, kB), event(Kind::CardInserted, kB)}},
        {"ReaderRemovedWithItsCard",
         {{kA, true}, {kB, false}},
         {[](FakePcsc& pcsc) { pcsc.remove_reader(kA); }},
         {event(Kind::CardRemoved, kA), event(Kind::ReaderRemoved, kA)}},
        {"FirstReaderAddedWhileNoneWasThere",
         {},
         {[](FakePcsc& pcsc) { pcsc.add_reader(kA).card_present = true; }},
         {event(Kind::ReaderAdded, kA), event(Kind::CardInserted, kA)},
         false,
         {{"SCardListReaders", 1, SCARD_E_NO_READERS_AVAILABLE}}},
        {"ServiceAwayAtStart",
         {{kA, true}},
         {remove(kA)},
         {event(Kind::ServiceLost), event(Kind::ServiceBack), event(Kind::CardRemoved, kA)},
         false,
         {{"SCardEstablishContext", 1, SCARD_E_NO_SERVICE}}},
        {"UnknownReaderAnswerWithTheReaderStillListed",
         {{kA, false}},
         {insert(kA)},
         {event(Kind::CardInserted, kA)},
         false,
         {{"SCardGetStatusChange", 2, SCARD_E_UNKNOWN_READER}}},
        {"ServiceGoneWhileListing",
         {{kA, false}},
         {insert(kA)},
         {event(Kind::ServiceLost), event(Kind::ServiceBack), event(Kind::CardInserted, kA)},
         false,
         {{"SCardListReaders", 1, SCARD_E_NO_SERVICE}}},
    };
    for (WatchCase& c : service_loss_cases())
        cases.push_back(std::move(c));
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, CardWatchEvents, ::testing::ValuesIn(watch_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the service coming back -----------------------------------------------------------------

// Lets a test that fails with a next() under way end instead of waiting for it forever.
struct StopOnExit {
    CardWatch& watch;
    ~StopOnExit() { watch.stop(); }
};

// True once an inotify descriptor of this process watches something: the watch arms its own
// before it asks the service again.
bool directory_watched_within(std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    do {
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(fd.path(), error) != "anon_inode:inotify")
                continue;
            std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
            for (std::string line; std::getline(info, line);) {
                if (line.rfind("inotify wd:", 0) == 0)
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

TEST_F(CardWatchTest, ServiceBackWhenItsSocketAppears_LostReportedOnce) {
    pcsc.add_reader(kA).card_present = false;
    pcsc.fail_call("SCardGetStatusChange", 2, SCARD_E_NO_SERVICE);
    pcsc.fail_call("SCardEstablishContext", 2, SCARD_E_NO_SERVICE);
    CardWatch watch(options);
    ASSERT_EQ(watch.next(), event(Kind::ServiceLost));

    // The service is still away when the watch looks again; its socket appearing wakes the
    // watch well before it would ask again on its own, and it finds the service back.
    auto back = std::async(std::launch::async, [&] { return watch.next(); });
    const StopOnExit stop_on_exit{watch};
    ASSERT_TRUE(directory_watched_within(kBound));
    const auto created = std::chrono::steady_clock::now();
    std::ofstream(options.socket_path).put('\n');
    ASSERT_EQ(back.wait_for(kBound), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(1000));
    EXPECT_EQ(back.get(), event(Kind::ServiceBack));
    EXPECT_EQ(pcsc.count("SCardEstablishContext"), 3u);

    pcsc.status_changes.push_back(insert(kA));
    EXPECT_EQ(watch.next(), event(Kind::CardInserted, kA));
}

// --- stopping ------------------------------------------------------------------------------

enum class StopWhile { BeforeNext, WaitingForCards, WaitingForService };

class CardWatchStop : public CardWatchTest, public ::testing::WithParamInterface<StopWhile> {};

TEST_P(CardWatchStop, NextReturnsNothing) {
    pcsc.add_reader(kA).card_present = false;
    if (GetParam() == StopWhile::WaitingForService)
        pcsc.fail_always("SCardEstablishContext", SCARD_E_NO_SERVICE);
    CardWatch watch(options);
    if (GetParam() == StopWhile::WaitingForService) {
        ASSERT_EQ(watch.next(), event(Kind::ServiceLost));
    }
    if (GetParam() == StopWhile::BeforeNext)
        watch.stop();

    auto next = std::async(std::launch::async, [&] { return watch.next(); });
    if (GetParam() == StopWhile::WaitingForCards) {
        ASSERT_TRUE(fakepcsc::wait_until_blocked(kBound));
    }
    watch.stop();
    ASSERT_EQ(next.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(next.get(), std::nullopt);
    EXPECT_EQ(watch.next(), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Cases, CardWatchStop,
                         ::testing::Values(StopWhile::BeforeNext, StopWhile::WaitingForCards,
                                           StopWhile::WaitingForService),
                         [](const auto& info) {
                             switch (info.param) {
                                 case StopWhile::BeforeNext:
                                     return "BeforeNext";
                                 case StopWhile::WaitingForCards:
                                     return "WaitingForCards";
                                 default:
                                     return "WaitingForService";
                             }
                         });

// pcsc-lite drops a cancel that comes before its wait has begun; a stop at any moment of
// next(), that one included, must still end it.
TEST_F(CardWatchTest, StopAtAnyMoment_NextReturnsNothing) {
    pcsc.add_reader(kA).card_present = false;
    for (int round = 0; round < 200; ++round) {
        CardWatch watch(options);
        auto next = std::async(std::launch::async, [&] { return watch.next(); });
        const StopOnExit stop_on_exit{watch};
        // From before next() has begun to well into its wait.
        std::this_thread::sleep_for(std::chrono::microseconds(5 * round));
        watch.stop();
        ASSERT_EQ(next.wait_for(kBound), std::future_status::ready) << "round " << round;
        EXPECT_EQ(next.get(), std::nullopt);
    }
}

TEST(StopSignals, TermReachesTheCallbackInsteadOfEndingTheProcess) {
    std::promise<int> taken;
    StopSignals signals([&taken](int signal) { taken.set_value(signal); });
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    auto signal = taken.get_future();
    ASSERT_EQ(signal.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(signal.get(), SIGTERM);
    EXPECT_EQ(signals.received(), SIGTERM);
}

}  // namespace
}  // namespace qel::card
