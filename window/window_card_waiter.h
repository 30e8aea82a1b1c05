#pragma once

#include <QObject>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "card/CardWait.h"

namespace qel::app {

// Keeps the window alive while a card takes its time. Card calls run on one worker thread; the
// user-interface thread waits for each in place and, once a call has taken longer than a short
// quiet period, processes window messages until it returns, so the window is painted and can be
// closed while the workflow itself stays one synchronous run. A call nobody can cancel keeps the
// worker; only ending the process gets out of it (see waiting()).
class WindowCardWaiter final : public card::CardWaiter {
public:
    explicit WindowCardWaiter(
        std::chrono::milliseconds quiet_period = std::chrono::milliseconds(20));
    ~WindowCardWaiter() override;

    WindowCardWaiter(const WindowCardWaiter&) = delete;
    WindowCardWaiter& operator=(const WindowCardWaiter&) = delete;

    void wait(void (*call)(void* context), void* context) override;

    // True while window messages are being processed during a card call: a handler that runs
    // now is inside that call's wait, with the card call still under way or its result not yet
    // taken up. Nothing of the card session may be touched from there.
    bool waiting() const { return m_waiting; }

private:
    // What the user-interface thread and the worker share. The worker holds it too, so that a
    // worker left behind in a call that never returns still has it when the call does.
    struct Channel {
        std::mutex mutex;
        std::condition_variable changed;
        void (*call)(void*) = nullptr;
        void* context = nullptr;
        bool call_pending = false;
        bool call_done = false;
        bool stop = false;
        // Receives the worker's "done" so that a wait for window messages wakes up; none once
        // the waiter is gone.
        QObject* wake_up = nullptr;
    };

    static void work(const std::shared_ptr<Channel>& channel);
    bool call_done();

    const std::chrono::milliseconds m_quiet_period;
    bool m_in_call = false;
    bool m_waiting = false;
    QObject m_wake_up;
    std::shared_ptr<Channel> m_channel;
    std::thread m_worker;
};

}  // namespace qel::app
