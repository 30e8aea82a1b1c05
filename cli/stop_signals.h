#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "util/OwnedFd.h"
#include "util/WakeEvent.h"

namespace qel::app {

// The signals qel_sn's signal thread takes: the two stops, and the end of a readout's (or a
// check's) time.
inline constexpr int kTimeUpSignal = SIGALRM;
inline const std::vector<int> kTakenSignals{SIGINT, SIGTERM, kTimeUpSignal};

// Takes SIGINT and SIGTERM (or other signals) away from the default handling without a signal
// handler: the constructor blocks them in the calling thread, and every thread started from it
// afterwards inherits that, while a thread of this object reads them from a signalfd and calls
// `on_signal` there, free to do what a handler may not (CardWatch::stop, for one). Make it in
// main() before any other thread starts and destroy it on the same thread; destruction ends
// its thread and unblocks the signals again, so a signal that comes after that has its default
// effect.
class StopSignals {
public:
    // `on_signal` must not raise: it runs on a thread with nobody to catch. Raises
    // util::Exception when the signals cannot be taken.
    explicit StopSignals(std::function<void(int signal)> on_signal,
                         const std::vector<int>& taken = {SIGINT, SIGTERM});
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The last signal taken, 0 before any.
    int received() const noexcept { return m_received.load(std::memory_order_acquire); }

private:
    void run();

    std::function<void(int)> m_on_signal;
    sigset_t m_previous_mask{};
    util::OwnedFd m_signals;
    util::WakeEvent m_end;
    std::atomic<int> m_received{0};
    std::thread m_thread;
};

}  // namespace qel::app
