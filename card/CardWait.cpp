#include "card/CardWait.h"

#include <atomic>

namespace qel::card {

namespace {

std::atomic<TCardWaiter*> g_waiter{nullptr};

}  // namespace

void SetCardWaiter(TCardWaiter* waiter) noexcept {
    g_waiter.store(waiter, std::memory_order_release);
}

TCardWaiter* CardWaiter() noexcept {
    return g_waiter.load(std::memory_order_acquire);
}

}  // namespace qel::card
