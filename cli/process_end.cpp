#include "cli/process_end.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace qel::app {

namespace {

// Longer than any log line takes to reach the file, short enough for a stop to stay prompt if
// the file system itself has hung.
constexpr std::chrono::milliseconds kLogLineWait{300};

// Sequentially consistent on both sides: a stop and a blocking call that begin together always
// see each other on at least one side, so neither is missed.
std::atomic<int> g_blocking_calls{0};
std::atomic<bool> g_stop{false};
std::atomic<int> g_stop_status{0};

// Set by the first thread that ends the process; any other one that comes to end it waits
// for that one.
std::atomic<bool> g_ending{false};

std::mutex& last_words_lock() {
    static std::mutex lock;
    return lock;
}

std::function<void()>& last_words() {
    static std::function<void()> words;
    return words;
}

void wait_for_log_line() noexcept {
    // Kept locked: no line may begin after this one.
    (void)log_line_lock().try_lock_for(kLogLineWait);
}

// Claims the end for this thread, or waits for the thread that has it.
void claim_end() noexcept {
    if (g_ending.exchange(true)) {
        for (;;)
            ::pause();
    }
    wait_for_log_line();
    const std::lock_guard lock(last_words_lock());
    if (last_words())
        last_words()();
}

}  // namespace

void set_last_words(std::function<void()> words) {
    const std::lock_guard lock(last_words_lock());
    last_words() = std::move(words);
}

std::timed_mutex& log_line_lock() noexcept {
    static std::timed_mutex lock;
    return lock;
}

void end_process(int status) noexcept {
    claim_end();
    std::_Exit(status);
}

void end_process_by_signal(int signal) noexcept {
    claim_end();
    // The stop signals are blocked in every thread so that one of ours can read them; this one
    // takes its own signal back with the default action, which ends the whole process.
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    // Only a signal whose default is to be ignored comes back here.
    std::_Exit(128 + signal);
}

void request_stop(int status) noexcept {
    g_stop_status.store(status);
    g_stop.store(true);
    if (g_blocking_calls.load() > 0 && !g_ending.load())
        end_process(status);
}

bool stop_requested() noexcept {
    return g_stop.load();
}

BlockingCall::BlockingCall() noexcept {
    g_blocking_calls.fetch_add(1);
    if (g_stop.load() && !g_ending.load())
        end_process(g_stop_status.load());
}

BlockingCall::~BlockingCall() {
    g_blocking_calls.fetch_sub(1);
}

}  // namespace qel::app
