#include "card/CardWait.h"

#include <atomic>

namespace qel::card {

namespace {

std::atomic<CardWaiter*> g_waiter{nullptr};

}  // namespace

void set_card_waiter(CardWaiter* waiter) noexcept {
    g_waiter.store(waiter, std::memory_order_release);
}

CardWaiter* card_waiter() noexcept {
    return g_waiter.load(std::memory_order_acquire);
}

}  // namespace qel::card
