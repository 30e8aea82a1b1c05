#include "cli/stop_signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>

namespace qel::app {
namespace {

constexpr std::chrono::seconds kBound{5};

TEST(StopSignals, TermReachesTheCallbackInsteadOfEndingTheProcess) {
    std::promise<int> taken;
    StopSignals signals([&taken](int signal) { taken.set_value(signal); });
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    auto signal = taken.get_future();
    ASSERT_EQ(signal.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(signal.get(), SIGTERM);
    EXPECT_EQ(signals.received(), SIGTERM);
}

}  // namespace
}  // namespace qel::app
