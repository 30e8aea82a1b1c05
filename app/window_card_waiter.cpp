#include "app/window_card_waiter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

namespace qel::app {

WindowCardWaiter::WindowCardWaiter(std::chrono::milliseconds quiet_period)
    : m_quiet_period(quiet_period), m_worker([this] { work(); }) {}

WindowCardWaiter::~WindowCardWaiter() {
    bool stuck = false;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        stuck = m_call_pending;
    }
    m_changed.notify_all();
    if (stuck) {
        // The card never answered and the call cannot be cancelled: joining would hang the
        // program for as long as the card is silent. The process is about to end anyway.
        m_worker.detach();
    } else {
        m_worker.join();
    }
}

void WindowCardWaiter::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || (m_call_pending && !m_call_done); });
        if (m_stop && !m_call_pending)
            return;
        void (*call)(void*) = m_call;
        void* context = m_context;
        lock.unlock();
        call(context);
        lock.lock();
        m_call_done = true;
        m_changed.notify_all();
        // postEvent is safe from any thread; the event only wakes a waiting message loop.
        QCoreApplication::postEvent(&m_wake_up, new QEvent(QEvent::User));
    }
}

bool WindowCardWaiter::call_done() {
    std::lock_guard lock(m_mutex);
    return m_call_done;
}

void WindowCardWaiter::Wait(void (*call)(void* context), void* context) {
    if (m_in_call) {
        // A message handled during a wait started a card call of its own. The worker is busy,
        // so this one runs in place; the window prevents it for its own card session.
        call(context);
        return;
    }
    m_in_call = true;
    {
        std::unique_lock lock(m_mutex);
        m_call = call;
        m_context = context;
        m_call_done = false;
        m_call_pending = true;
        m_changed.notify_all();
        // Most calls return within a few milliseconds; they cost no message processing, which
        // keeps the run's own pumps the only places where a handler can step in.
        m_changed.wait_for(lock, m_quiet_period, [this] { return m_call_done; });
    }
    if (!call_done()) {
        m_waiting = true;
        while (!call_done())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        m_waiting = false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_call_pending = false;
    }
    m_in_call = false;
}

}  // namespace qel::app
