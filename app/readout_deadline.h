#pragma once

#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "card/CardWait.h"

namespace qel::app {

// Bounds the time a readout may take when its dongle stops answering. A card command cannot be
// cancelled, and the reader driver's own time-out (if it has one) runs to minutes, so the
// deadline does not try: when the time is up in the middle of a command, another thread takes
// over from the stuck one, reports the readout as failed and ends the process. Installed as the
// process's card waiter, it lets every card command run on the calling thread as before.
//
// The time is kept by the kernel: the end of it is sent as `signal`, which the program's signal
// thread takes (StopSignals) and hands to time_up(); it must be blocked in every thread. No
// thread of its own, so a readout that is in time costs three system calls.
class ReadoutDeadline final : public card::CardWaiter {
public:
    // `expired` reports the readout as failed and returns the status the process ends with. It
    // runs on whichever thread finds the time up: the signal thread while a command is stuck, or
    // the readout's own at its next command; the other one never comes back meanwhile. Raises
    // util::Exception when the kernel gives no timer.
    explicit ReadoutDeadline(std::function<int()> expired, int signal = SIGALRM);
    ~ReadoutDeadline() override;

    ReadoutDeadline(const ReadoutDeadline&) = delete;
    ReadoutDeadline& operator=(const ReadoutDeadline&) = delete;

    // A readout begins and may take `limit`; a readout that ends (disarm) before its time is up
    // was in time, whatever happened after.
    void arm(std::chrono::milliseconds limit);
    void disarm();

    // The timer's signal came. A signal left over from a readout that has ended since finds no
    // time up and changes nothing.
    void time_up() noexcept;

    void wait(void (*call)(void* context), void* context) override;

private:
    enum class State { Idle, InCall, Expired };

    void set_timer(std::chrono::milliseconds limit) noexcept;
    [[noreturn]] void expire();

    const std::function<int()> m_expired;
    const int m_signal;
    timer_t m_timer{};
    std::atomic<State> m_state{State::Idle};
    // Guards the deadline between the readout's thread and the signal thread; wait() needs none.
    std::mutex m_mutex;
    bool m_armed = false;
    std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace qel::app
