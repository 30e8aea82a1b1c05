#include "app/process_end.h"

#include <pthread.h>
#include <signal.h>

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

void wait_for_log_line() noexcept {
    // Kept locked: no line may begin after this one.
    (void)log_line_lock().try_lock_for(kLogLineWait);
}

}  // namespace

std::timed_mutex& log_line_lock() noexcept {
    static std::timed_mutex lock;
    return lock;
}

void end_process(int status) noexcept {
    wait_for_log_line();
    std::_Exit(status);
}

void end_process_by_signal(int signal) noexcept {
    wait_for_log_line();
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
    if (g_blocking_calls.load() > 0)
        end_process(status);
}

bool stop_requested() noexcept {
    return g_stop.load();
}

BlockingCall::BlockingCall() noexcept {
    g_blocking_calls.fetch_add(1);
    if (g_stop.load())
        end_process(g_stop_status.load());
}

BlockingCall::~BlockingCall() {
    g_blocking_calls.fetch_sub(1);
}

}  // namespace qel::app
