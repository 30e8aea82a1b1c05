#pragma once

namespace qel::card {

// How a thread waits for a PC/SC call that lasts as long as a card takes to answer: a transmit,
// a connection that powers a card up, a transaction behind another program's. Such a call cannot
// be cancelled, and a card that stops answering holds it for as long as the reader driver
// waits. By default the call simply runs on the calling thread. A program with a window installs
// a waiter that runs the call elsewhere and keeps its window alive meanwhile.
class CardWaiter {
public:
    virtual ~CardWaiter() = default;

    // Runs call(context) once and returns when it has returned. May run it on another thread;
    // the caller's thread does nothing with the call's data until wait returns.
    virtual void wait(void (*call)(void* context), void* context) = 0;
};

// Installs the waiter for every later card call of the process (none: calls run in place). The
// waiter is not owned; whoever installs it removes it before destroying it.
void set_card_waiter(CardWaiter* waiter) noexcept;
CardWaiter* card_waiter() noexcept;

// Runs `call()` through the installed waiter, or in place without one.
template <class Call>
void wait_for_card(Call& call) {
    CardWaiter* const waiter = card_waiter();
    if (waiter == nullptr) {
        call();
        return;
    }
    waiter->wait([](void* context) { (*static_cast<Call*>(context))(); }, &call);
}

}  // namespace qel::card
