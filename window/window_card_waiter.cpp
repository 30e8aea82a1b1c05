#include "window/window_card_waiter.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

namespace qel::app {

WindowCardWaiter::WindowCardWaiter(std::chrono::milliseconds quiet_period)
    : m_quiet_period(quiet_period), m_channel(std::make_shared<Channel>()) {
    m_channel->wake_up = &m_wake_up;
    m_worker = std::thread([channel = m_channel] { work(channel); });
}

WindowCardWaiter::~WindowCardWaiter() {
    bool stuck = false;
    {
        std::lock_guard lock(m_channel->mutex);
        m_channel->stop = true;
        m_channel->wake_up = nullptr;
        stuck = m_channel->call_pending && !m_channel->call_done;
    }
    m_channel->changed.notify_all();
    if (stuck) {
        // The card never answered and the call cannot be cancelled: joining would hang the
        // program for as long as the card is silent. The worker keeps the channel alive.
        m_worker.detach();
    } else {
        m_worker.join();
    }
}

void WindowCardWaiter::work(const std::shared_ptr<Channel>& channel) {
    std::unique_lock lock(channel->mutex);
    for (;;) {
        channel->changed.wait(
            lock, [&] { return channel->stop || (channel->call_pending && !channel->call_done); });
        if (channel->stop)
            return;
        void (*call)(void*) = channel->call;
        void* context = channel->context;
        lock.unlock();
        call(context);
        lock.lock();
        channel->call_done = true;
        channel->changed.notify_all();
        if (channel->wake_up != nullptr) {
            // postEvent is safe from any thread; the event only wakes a waiting message loop.
            QCoreApplication::postEvent(channel->wake_up, new QEvent(QEvent::User));
        }
    }
}

bool WindowCardWaiter::call_done() {
    std::lock_guard lock(m_channel->mutex);
    return m_channel->call_done;
}

void WindowCardWaiter::wait(void (*call)(void* context), void* context) {
    if (m_in_call) {
        // A message handled during a wait started a card call of its own. The worker is busy,
        // so this one runs in place; the window prevents it for its own card session.
        call(context);
        return;
    }
    m_in_call = true;
    {
        std::unique_lock lock(m_channel->mutex);
        m_channel->call = call;
        m_channel->context = context;
        m_channel->call_done = false;
        m_channel->call_pending = true;
        m_channel->changed.notify_all();
        // Most calls return within a few milliseconds; they cost no message processing, which
        // keeps the run's own pumps the only places where a handler can step in.
        m_channel->changed.wait_for(lock, m_quiet_period, [this] { return m_channel->call_done; });
    }
    if (!call_done()) {
        m_waiting = true;
        while (!call_done())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        m_waiting = false;
    }
    {
        std::lock_guard lock(m_channel->mutex);
        m_channel->call_pending = false;
    }
    m_in_call = false;
}

}  // namespace qel::app
