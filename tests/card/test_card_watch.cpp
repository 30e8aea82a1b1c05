#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "card/CardWatch.h"
#include "tests/fakepcsc/fake_pcsc.h"

namespace qel::card {

void PrintTo(const CardWatchEvent& event, std::ostream* out) {
    *out << card_watch_event_name(event.kind) << " " << event.reader;
}

namespace {

using Kind = CardWatchEventKind;
using fakepcsc::FakePcsc;
using Change = std::function<void(FakePcsc&)>;

// Long enough never to be reached by a watch that works, on a loaded machine too.
constexpr std::chrono::seconds kBound{5};
const std::string kA = "Reader A";

CardWatchEvent event(Kind kind, std::string reader = {}) {
    return CardWatchEvent{kind, std::move(reader)};
}

// Scripts name readers by their last letter; a single-letter name would end the reader list as
// its closing empty name does.
std::string reader(const std::string& word) {
    return "Reader " + word.substr(word.find_last_of("AB"), 1);
}
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// "+A" puts a card into reader A, "-A" takes it out, "~A" takes it out and puts one in,
// "new:A" plugs reader A in ("*new:A" with a card), "unplug:A" takes it away.
Change change(const std::string& word) {
    return [word, name = reader(word)](FakePcsc& pcsc) {
        if (word.find("new:") != std::string::npos)
            pcsc.add_reader(name).card_present = word.front() == '*';
        else if (word.rfind("unplug:", 0) == 0)
            pcsc.remove_reader(name);
        else if (word.front() == '~')
            pcsc.reader(name).card_events += 2;
        else
            word.front() == '+' ? pcsc.reader(name).insert_card() : pcsc.reader(name).remove_card();
    };
}

// "+A" card inserted in reader A, "-A" removed, "new:A" / "gone:A" reader added / removed,
// "lost" / "back" the service, "none" no reader listed.
CardWatchEvent event(const std::string& word) {
    if (word == "lost" || word == "back")
        return event(word == "lost" ? Kind::ServiceLost : Kind::ServiceBack);
    if (word == "none")
        return event(Kind::NoReader);
    if (word.rfind("new:", 0) == 0 || word.rfind("gone:", 0) == 0)
        return event(word.front() == 'n' ? Kind::ReaderAdded : Kind::ReaderRemoved, reader(word));
    return event(word.front() == '+' ? Kind::CardInserted : Kind::CardRemoved, reader(word));
}

// Lets a test that fails with a next() under way end instead of waiting for it forever.
struct StopOnExit {
    CardWatch& watch;
    ~StopOnExit() { watch.stop(); }
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

    FakePcsc& pcsc = fakepcsc::state();
    CardWatchOptions options;
    std::filesystem::path socket_dir;
};

// --- what a watch reports, from readers, changes and failures ----------------------------------

struct Failure {
    std::string function;
    int call = 0;  // its call number `call` fails with `code`
    LONG code = 0;
};

Failure fails(std::string function, int call, LONG code) {
    return Failure{std::move(function), call, code};
}

struct WatchCase {
    const char* name;
    const char* readers;  // at start: "A* B" is reader A with a card and reader B without
    const char* changes;  // made one by one while the watch waits
    const char* expected;
    bool report_present_cards = false;
    Failure failure = {};
};

class CardWatchEvents : public CardWatchTest, public ::testing::WithParamInterface<WatchCase> {};

TEST_P(CardWatchEvents, ReportsEachChangeOnce) {
    const WatchCase& c = GetParam();
    for (const std::string& r : words(c.readers))
        pcsc.add_reader(reader(r)).card_present = r.back() == '*';
    for (const std::string& word : words(c.changes))
        pcsc.status_changes.push_back(change(word));
    if (!c.failure.function.empty())
        pcsc.fail_call(c.failure.function, c.failure.call, c.failure.code);
    options.report_present_cards = c.report_present_cards;

    std::vector<CardWatchEvent> seen;
    {
        CardWatch watch(options);
        auto watching = std::async(std::launch::async, [&] {
            while (auto next = watch.next())
                seen.push_back(*next);
        });
        const StopOnExit stop_on_exit{watch};
        // Every change made, the watch waits for good.
        EXPECT_TRUE(fakepcsc::wait_until_blocked(kBound));
    }
    std::vector<CardWatchEvent> expected;
    for (const std::string& word : words(c.expected))
        expected.push_back(event(word));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(pcsc.open_contexts(), 0u);
    EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
    for (const auto& wait : pcsc.calls("SCardGetStatusChange"))
        EXPECT_EQ(wait.buffer_size, INFINITE) << "a timed wait polls";
}

const auto kLost = event(Kind::ServiceLost);
const auto kBack = event(Kind::ServiceBack);

const WatchCase kWatchCases[] = {
    {"InsertedRemovedInserted", "A B", "+A -A +A +B", "+A -A +A +B"},
    {"CardsThereAtStartStayQuiet", "A* B", "-A", "-A"},
    {"CardsThereAtStartReportedWhenAsked", "A* B", "", "+A", true},
    {"CardSwappedBetweenLooks", "A*", "~A", "-A +A"},
    // A USB token is reader and card in one.
    {"ReaderAddedWithItsCardWhereNoneWas", "", "*new:A", "none new:A +A", false,
     fails("SCardListReaders", 1, SCARD_E_NO_READERS_AVAILABLE)},
    // Readers that go leave the watch without one quietly: only a new context tells.
    {"LastReaderRemoved", "A", "unplug:A", "gone:A"},
    {"NoReaderOnceTheServiceIsBack", "", "", "lost back none", false,
     fails("SCardEstablishContext", 1, SCARD_E_NO_SERVICE)},
    {"ReaderRemovedWithItsCard", "A* B", "unplug:A", "-A gone:A"},
    {"UnknownReaderAnswerWithTheReaderStillListed", "A", "+A", "+A", false,
     fails("SCardGetStatusChange", 2, SCARD_E_UNKNOWN_READER)},
    {"ServiceAwayAtStart", "A*", "-A", "lost back -A", false,
     fails("SCardEstablishContext", 1, SCARD_E_NO_SERVICE)},
    {"ServiceGoneWhileListing", "A", "+A", "lost back +A", false,
     fails("SCardListReaders", 1, SCARD_E_NO_SERVICE)},
    // Shut down under the wait, restarted since the context was made, connection broken (what
    // pcsc-lite 1.9.9 answers a wait whose service is stopped).
    {"NoService", "A", "+A", "lost back +A", false,
     fails("SCardGetStatusChange", 2, SCARD_E_NO_SERVICE)},
    {"ServiceStopped", "A", "+A", "lost back +A", false,
     fails("SCardGetStatusChange", 2, SCARD_E_SERVICE_STOPPED)},
    {"InvalidHandle", "A", "+A", "lost back +A", false,
     fails("SCardGetStatusChange", 2, SCARD_E_INVALID_HANDLE)},
    {"CommError", "A", "+A", "lost back +A", false,
     fails("SCardGetStatusChange", 2, SCARD_F_COMM_ERROR)},
};

INSTANTIATE_TEST_SUITE_P(Cases, CardWatchEvents, ::testing::ValuesIn(kWatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the service coming back, and stopping -----------------------------------------------------

// True once an inotify descriptor of this process watches something: the watch arms its own
// before it asks the service again.
bool directory_watched_within(std::chrono::milliseconds bound) {
    for (const auto end = std::chrono::steady_clock::now() + bound;
         std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
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
    }
    return false;
}

TEST_F(CardWatchTest, ServiceBackWhenItsSocketAppears_LostReportedOnce) {
    pcsc.add_reader(kA).card_present = false;
    pcsc.fail_call("SCardGetStatusChange", 2, SCARD_E_NO_SERVICE);
    pcsc.fail_call("SCardEstablishContext", 2, SCARD_E_NO_SERVICE);
    CardWatch watch(options);
    ASSERT_EQ(watch.next(), kLost);

    // The service is still away when the watch looks again; its socket appearing wakes the
    // watch well before it would ask again on its own, and it finds the service back.
    auto back = std::async(std::launch::async, [&] { return watch.next(); });
    const StopOnExit stop_on_exit{watch};
    ASSERT_TRUE(directory_watched_within(kBound));
    const auto created = std::chrono::steady_clock::now();
    std::ofstream(options.socket_path).put('\n');
    ASSERT_EQ(back.wait_for(kBound), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - created, std::chrono::milliseconds(1000));
    EXPECT_EQ(back.get(), kBack);
    EXPECT_EQ(pcsc.count("SCardEstablishContext"), 3u);

    pcsc.status_changes.push_back(change("+A"));
    EXPECT_EQ(watch.next(), event(Kind::CardInserted, kA));
}

// From before next() has begun to well into its wait for a card, or for the service: pcsc-lite
// drops a cancel that comes before its wait has begun, and a stop must still end next().
TEST_F(CardWatchTest, StopAtAnyMoment_NextReturnsNothing) {
    pcsc.add_reader(kA).card_present = false;
    for (int round = 0; round < 200; ++round) {
        if (round == 100)
            pcsc.fail_always("SCardEstablishContext", SCARD_E_NO_SERVICE);
        CardWatch watch(options);
        if (round >= 100) {
            ASSERT_EQ(watch.next(), kLost);
        }
        auto next = std::async(std::launch::async, [&] { return watch.next(); });
        const StopOnExit stop_on_exit{watch};
        std::this_thread::sleep_for(std::chrono::microseconds(10 * (round % 100)));
        watch.stop();
        ASSERT_EQ(next.wait_for(kBound), std::future_status::ready) << "round " << round;
        EXPECT_EQ(next.get(), std::nullopt);
        EXPECT_EQ(watch.next(), std::nullopt);
    }
}

}  // namespace
}  // namespace qel::card
