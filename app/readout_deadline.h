#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "card/CardWait.h"

namespace qel::app {

// Bounds the time a readout may take when its dongle stops answering. A card command cannot be
// cancelled, and the reader driver's own time-out (if it has one) runs to minutes, so the
// deadline does not try: when the time is up in the middle of a command, its own thread takes
// over from the stuck one, reports the readout as failed and ends the process. Installed as the
// process's card waiter, it lets every card command run on the calling thread as before.
class ReadoutDeadline final : public card::TCardWaiter {
public:
    // `expired` reports the readout as failed and returns the status the process ends with. It
    // runs on whichever thread finds the time up: the deadline's own while a command is stuck,
    // or the readout's own at its next command; the other one never comes back meanwhile.
    explicit ReadoutDeadline(std::function<int()> expired);
    ~ReadoutDeadline() override;

    ReadoutDeadline(const ReadoutDeadline&) = delete;
    ReadoutDeadline& operator=(const ReadoutDeadline&) = delete;

    // A readout begins and may take `limit`; a readout that ends (disarm) before its time is up
    // was in time, whatever happened after.
    void arm(std::chrono::milliseconds limit);
    void disarm();

    void Wait(void (*call)(void* context), void* context) override;

private:
    enum class State { Idle, InCall, Expired };

    void run();
    [[noreturn]] void expire();

    const std::function<int()> m_expired;
    std::atomic<State> m_state{State::Idle};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    std::uint64_t m_generation = 0;
    bool m_quit = false;
    std::thread m_thread;
};

}  // namespace qel::app
