#pragma once

#include <signal.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <mutex>

#include "card/CardWait.h"

namespace qel::app {

// Where the time ran out: in a command to the dongle, or in a call to the PC/SC service (which
// has hung, or accepts and never answers).
enum class StuckCall { Dongle, Service };

// Bounds the time a readout may take when its dongle or the PC/SC service stops answering, and
// each call to the service outside a readout. Neither a card command nor a call to the service
// can be cancelled, and the reader driver's own time-out (if it has one) runs to minutes, so the
// deadline does not try: when the time is up in the middle of a call, another thread takes over
// from the stuck one, reports the readout as failed and ends the process. Installed as the
// process's card waiter, it lets every call run on the calling thread as before; every call it
// sees is one a stop signal may end at once (BlockingCall).
//
// The time is kept by the kernel: the end of it is sent as `signal`, which the program's signal
// thread takes (StopSignals) and hands to time_up(); it must be blocked in every thread. No
// thread of its own, so a readout that is in time costs a few system calls. One thread makes
// the calls.
class ReadoutDeadline final : public card::CardWaiter {
public:
    // `expired` reports the readout (or the call outside one) as failed and returns the status
    // the process ends with. It runs on whichever thread finds the time up: the signal thread
    // while a call is stuck, or the readout's own at its next call; the other one never comes
    // back meanwhile. Raises util::Exception when the kernel gives no timer.
    explicit ReadoutDeadline(std::function<int(StuckCall)> expired, int signal = SIGALRM);
    ~ReadoutDeadline() override;

    ReadoutDeadline(const ReadoutDeadline&) = delete;
    ReadoutDeadline& operator=(const ReadoutDeadline&) = delete;

    // Each call to the service outside a readout may take `limit` (zero: no limit).
    void bound_service_calls(std::chrono::milliseconds limit);

    // For a watch, which outlives a service that hangs: a call to the service that runs out of
    // time, in a readout or outside one, is waited for instead of ending the process.
    // `silent` is told on the signal thread when it has run out (once per call), `answers` on
    // the calling thread when it has come back after that; the readout under way then has its
    // whole time again.
    void wait_out_service(std::function<void()> silent, std::function<void()> answers);

    // A readout begins and may take `limit`; a readout that ends (disarm) before its time is up
    // was in time, whatever happened after.
    void arm(std::chrono::milliseconds limit);
    void disarm();

    // The timer's signal came. A signal left over from a readout that has ended since finds no
    // time up and changes nothing.
    void time_up() noexcept;

    void wait(void (*call)(void* context), void* context) override;
    void wait_for_service(void (*call)(void* context), void* context, bool endless) override;

private:
    void run(void (*call)(void* context), void* context, StuckCall kind);
    void start_locked(std::chrono::milliseconds limit);
    void stop_locked() noexcept;
    void set_timer(std::chrono::milliseconds limit) noexcept;
    [[noreturn]] void expire(StuckCall kind);

    const std::function<int(StuckCall)> m_expired;
    const int m_signal;
    timer_t m_timer{};
    std::function<void()> m_service_silent;
    std::function<void()> m_service_answers;
    std::chrono::milliseconds m_service_limit{0};

    // Guards what follows between the calling thread and the signal thread.
    std::mutex m_mutex;
    bool m_armed = false;
    std::chrono::milliseconds m_limit{0};
    std::chrono::steady_clock::time_point m_deadline;
    bool m_in_call = false;
    StuckCall m_call = StuckCall::Dongle;
    // The time ran out between two calls: the next one finds it.
    bool m_time_up = false;
    // The signal thread is ending the process for the stuck call.
    bool m_taken_over = false;
    // The call under way ran out of time and is waited for (a watch's service call).
    bool m_waited_out = false;
};

}  // namespace qel::app
