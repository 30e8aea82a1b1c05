#pragma once

namespace qel::card {

// How a thread waits for a PC/SC call that may not come back by itself. A transmit, a connection
// that powers a card up or a transaction behind another program's lasts as long as the card
// takes to answer; every other call that goes to the PC/SC service lasts as long as the service
// takes, which is for ever when the service has hung. Neither can be cancelled. By default a call
// simply runs on the calling thread. A program with a window installs a waiter that runs card
// calls elsewhere and keeps its window alive meanwhile; a program left alone installs one that
// bounds them.
class CardWaiter {
public:
    virtual ~CardWaiter() = default;

    // Runs call(context) once and returns when it has returned. May run it on another thread;
    // the caller's thread does nothing with the call's data until wait returns.
    virtual void wait(void (*call)(void* context), void* context) = 0;

    // The same for a call that goes to the service alone: a context, the reader list, a card's
    // status. `endless`: the call waits for an event that may never come (a watch's wait for
    // the next card), so no time may bound it. Runs in place unless a waiter says otherwise.
    virtual void wait_for_service(void (*call)(void* context), void* context, bool endless);
};

// Installs the waiter for every later card call of the process (none: calls run in place). The
// waiter is not owned; whoever installs it removes it before destroying it.
void set_card_waiter(CardWaiter* waiter) noexcept;
CardWaiter* card_waiter() noexcept;

// Whether the calling thread is inside a call handed to the waiter: a call made from inside one
// (a wait that wraps an entry) runs in place, so that it is waited for once.
bool inside_waited_call() noexcept;

namespace detail {

// Marks the thread that runs a waited call for as long as it runs.
class WaitedCall {
public:
    WaitedCall() noexcept;
    ~WaitedCall();
    WaitedCall(const WaitedCall&) = delete;
    WaitedCall& operator=(const WaitedCall&) = delete;

private:
    bool m_outer;
};

template <class Call>
void run_waited(void* context) {
    const WaitedCall marked;
    (*static_cast<Call*>(context))();
}

}  // namespace detail

// Runs `call()` through the installed waiter, or in place without one.
template <class Call>
void wait_for_card(Call& call) {
    CardWaiter* const waiter = card_waiter();
    if (waiter == nullptr || inside_waited_call()) {
        call();
        return;
    }
    waiter->wait(&detail::run_waited<Call>, &call);
}

// Runs `call()`, a call to the service alone, through the installed waiter.
template <class Call>
void wait_for_service(Call& call, bool endless = false) {
    CardWaiter* const waiter = card_waiter();
    if (waiter == nullptr || inside_waited_call()) {
        call();
        return;
    }
    waiter->wait_for_service(&detail::run_waited<Call>, &call, endless);
}

}  // namespace qel::card
