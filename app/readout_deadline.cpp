#include "app/readout_deadline.h"

#include <unistd.h>

#include "app/process_end.h"

namespace qel::app {

ReadoutDeadline::ReadoutDeadline(std::function<int()> expired)
    : m_expired(std::move(expired)), m_thread([this] { run(); }) {}

ReadoutDeadline::~ReadoutDeadline() {
    {
        const std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void ReadoutDeadline::arm(std::chrono::milliseconds limit) {
    {
        const std::lock_guard lock(m_mutex);
        m_deadline = std::chrono::steady_clock::now() + limit;
        ++m_generation;
        m_state.store(State::Idle);
    }
    m_changed.notify_all();
}

void ReadoutDeadline::disarm() {
    {
        const std::lock_guard lock(m_mutex);
        m_deadline.reset();
        ++m_generation;
        // A time that ran out between two commands, with no command after it, cost nothing.
        m_state.store(State::Idle);
    }
    m_changed.notify_all();
}

void ReadoutDeadline::Wait(void (*call)(void* context), void* context) {
    State idle = State::Idle;
    if (!m_state.compare_exchange_strong(idle, State::InCall))
        expire();
    {
        const BlockingCall blocking;
        call(context);
    }
    State in_call = State::InCall;
    if (!m_state.compare_exchange_strong(in_call, State::Idle)) {
        // The deadline's thread took over while the command was under way and is ending the
        // process: this thread must not go on with a readout that has been reported failed.
        for (;;)
            ::pause();
    }
}

void ReadoutDeadline::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || m_deadline.has_value(); });
        if (m_quit)
            return;
        const std::uint64_t generation = m_generation;
        const bool changed = m_changed.wait_until(
            lock, *m_deadline, [&] { return m_quit || m_generation != generation; });
        if (changed)
            continue;
        m_deadline.reset();
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
}

void ReadoutDeadline::expire() {
    end_process(m_expired());
}

}  // namespace qel::app
