#include "cli/readout_deadline.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "cli/process_end.h"
#include "util/Exception.h"

namespace qel::app {

ReadoutDeadline::ReadoutDeadline(std::function<int(StuckCall)> expired, int signal)
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

void ReadoutDeadline::bound_service_calls(std::chrono::milliseconds limit) {
    const std::lock_guard lock(m_mutex);
    m_service_limit = limit;
}

void ReadoutDeadline::wait_out_service(std::function<void()> silent,
                                       std::function<void()> answers) {
    const std::lock_guard lock(m_mutex);
    m_service_silent = std::move(silent);
    m_service_answers = std::move(answers);
}

void ReadoutDeadline::set_timer(std::chrono::milliseconds limit) noexcept {
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(limit.count() / 1000);
    when.it_value.tv_nsec = static_cast<long>(limit.count() % 1000) * 1000000L;
    // Only an invalid value fails, and none is made here; a zero value disarms.
    ::timer_settime(m_timer, 0, &when, nullptr);
}

void ReadoutDeadline::start_locked(std::chrono::milliseconds limit) {
    m_armed = true;
    m_deadline = std::chrono::steady_clock::now() + limit;
    set_timer(limit);
}

void ReadoutDeadline::stop_locked() noexcept {
    m_armed = false;
    set_timer(std::chrono::milliseconds(0));
    // A signal the timer sent just before is of no use any more. Taken here, it cannot outlive
    // the signal thread, after which its default action would end the program.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, m_signal);
    const timespec no_wait{};
    while (::sigtimedwait(&set, nullptr, &no_wait) > 0) {
    }
}

void ReadoutDeadline::arm(std::chrono::milliseconds limit) {
    const std::lock_guard lock(m_mutex);
    m_limit = limit;
    m_time_up = false;
    start_locked(limit);
}

void ReadoutDeadline::disarm() {
    const std::lock_guard lock(m_mutex);
    stop_locked();
    // A time that ran out between two calls, with no call after it, cost nothing.
    m_time_up = false;
}

void ReadoutDeadline::time_up() noexcept {
    std::unique_lock lock(m_mutex);
    if (!m_armed || std::chrono::steady_clock::now() < m_deadline)
        return;
    m_armed = false;
    if (!m_in_call) {
        // Between two calls: the readout finds the time up at its next one.
        m_time_up = true;
        return;
    }
    if (m_call == StuckCall::Service && m_service_silent) {
        if (!std::exchange(m_waited_out, true)) {
            lock.unlock();
            m_service_silent();
        }
        return;
    }
    // Under the lock, so that the call cannot come back meanwhile and go on with a readout that
    // is reported failed.
    m_taken_over = true;
    const StuckCall kind = m_call;
    lock.unlock();
    expire(kind);
}

void ReadoutDeadline::wait(void (*call)(void* context), void* context) {
    run(call, context, StuckCall::Dongle);
}

void ReadoutDeadline::wait_for_service(void (*call)(void* context), void* context, bool endless) {
    if (!endless) {
        run(call, context, StuckCall::Service);
        return;
    }
    const BlockingCall blocking;
    call(context);
}

void ReadoutDeadline::run(void (*call)(void* context), void* context, StuckCall kind) {
    std::unique_lock lock(m_mutex);
    if (std::exchange(m_time_up, false)) {
        lock.unlock();
        expire(StuckCall::Dongle);
    }
    // Outside a readout, a call to the service has a time of its own.
    const bool own_time = !m_armed && kind == StuckCall::Service && m_service_limit.count() > 0;
    if (own_time)
        start_locked(m_service_limit);
    m_in_call = true;
    m_call = kind;
    lock.unlock();
    {
        const BlockingCall blocking;
        call(context);
    }
    lock.lock();
    m_in_call = false;
    if (m_taken_over) {
        // The signal thread took over while the call was under way and is ending the process:
        // this thread must not go on with a readout that has been reported failed.
        lock.unlock();
        for (;;)
            ::pause();
    }
    const bool came_back = std::exchange(m_waited_out, false);
    if (own_time)
        stop_locked();
    else if (came_back && m_limit.count() > 0)
        // The service's silence was no silence of the dongle's: the readout's time starts again.
        start_locked(m_limit);
    lock.unlock();
    if (came_back && m_service_answers)
        m_service_answers();
}

void ReadoutDeadline::expire(StuckCall kind) {
    end_process(m_expired(kind));
}

}  // namespace qel::app
