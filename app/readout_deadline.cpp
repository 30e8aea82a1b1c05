#include "app/readout_deadline.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app/process_end.h"
#include "util/Exception.h"

namespace qel::app {

ReadoutDeadline::ReadoutDeadline(std::function<int()> expired, int signal)
    : m_expired(std::move(expired)), m_signal(signal) {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = signal;
    // The monotonic clock: a readout's time does not jump with the wall clock.
    if (::timer_create(CLOCK_MONOTONIC, &event, &m_timer) != 0)
        throw util::Exception(std::string("Cannot create a timer: ") + std::strerror(errno));
}

ReadoutDeadline::~ReadoutDeadline() {
    ::timer_delete(m_timer);
}

void ReadoutDeadline::set_timer(std::chrono::milliseconds limit) noexcept {
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(limit.count() / 1000);
    when.it_value.tv_nsec = static_cast<long>(limit.count() % 1000) * 1000000L;
    // Only an invalid value fails, and none is made here; a zero value disarms.
    ::timer_settime(m_timer, 0, &when, nullptr);
}

void ReadoutDeadline::arm(std::chrono::milliseconds limit) {
    {
        const std::lock_guard lock(m_mutex);
        m_armed = true;
        m_deadline = std::chrono::steady_clock::now() + limit;
        m_state.store(State::Idle);
    }
    set_timer(limit);
}

void ReadoutDeadline::disarm() {
    set_timer(std::chrono::milliseconds(0));
    // A signal the timer sent just before is of no use any more. Taken here, it cannot outlive
    // the signal thread, after which its default action would end the program.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, m_signal);
    const timespec no_wait{};
    while (::sigtimedwait(&set, nullptr, &no_wait) > 0) {
    }
    const std::lock_guard lock(m_mutex);
    m_armed = false;
    // A time that ran out between two commands, with no command after it, cost nothing.
    m_state.store(State::Idle);
}

void ReadoutDeadline::time_up() noexcept {
    std::unique_lock lock(m_mutex);
    if (!m_armed || std::chrono::steady_clock::now() < m_deadline)
        return;
    m_armed = false;
    // Under the lock, so that a readout armed or disarmed meanwhile is not taken for this one.
    State in_call = State::InCall;
    if (m_state.compare_exchange_strong(in_call, State::Expired)) {
        lock.unlock();
        expire();
    }
    // Between two commands: the readout finds the time up at its next one.
    State idle = State::Idle;
    m_state.compare_exchange_strong(idle, State::Expired);
}

void ReadoutDeadline::wait(void (*call)(void* context), void* context) {
    State idle = State::Idle;
    if (!m_state.compare_exchange_strong(idle, State::InCall))
        expire();
    {
        const BlockingCall blocking;
        call(context);
    }
    State in_call = State::InCall;
    if (!m_state.compare_exchange_strong(in_call, State::Idle)) {
        // The signal thread took over while the command was under way and is ending the
        // process: this thread must not go on with a readout that has been reported failed.
        for (;;)
            ::pause();
    }
}

void ReadoutDeadline::expire() {
    end_process(m_expired());
}

}  // namespace qel::app
