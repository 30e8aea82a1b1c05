#include "card/CardWait.h"

#include <atomic>

namespace qel::card {

namespace {

std::atomic<CardWaiter*> g_waiter{nullptr};
thread_local bool t_in_waited_call = false;

}  // namespace

void CardWaiter::wait_for_service(void (*call)(void* context), void* context, bool) {
    call(context);
}

void set_card_waiter(CardWaiter* waiter) noexcept {
    g_waiter.store(waiter, std::memory_order_release);
}

CardWaiter* card_waiter() noexcept {
    return g_waiter.load(std::memory_order_acquire);
}

bool inside_waited_call() noexcept {
    return t_in_waited_call;
}

namespace detail {

WaitedCall::WaitedCall() noexcept : m_outer(!t_in_waited_call) {
    t_in_waited_call = true;
}

WaitedCall::~WaitedCall() {
    if (m_outer)
        t_in_waited_call = false;
}

}  // namespace detail

}  // namespace qel::card
