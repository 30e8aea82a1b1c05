// The benchmark compares two sides on the strength of their doing the same work. These tests
// hold both to that against the virtual card: the same PC/SC calls, function by function, and
// the same values read; and where the card refuses, both fail after the same calls, having
// given back what they took.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bench/bench_workflow_floor.h"
#include "bench/bench_workflow_ours.h"
#include "bench/bench_workflow_pcsc.h"
#include "card/WinSCard.h"
#include "tests/e2e/support/e2e_test.h"

namespace qel::bench {
namespace {

const std::vector<std::string> kCardValues{"--serial", "0102030405060708", "--firmware",
                                           "07",       "--error-code",     "0100"};
// Only the first 4 serial bytes are shown; a one-byte firmware answer is its own value.
const DongleReadout kExpected{"01020304", 0x0007, 0x0100};

struct ProtocolCase {
    const char* name;
    std::vector<std::string> options;
    std::uint64_t transmits;  // SELECT, then the three commands; T=0 adds a GET RESPONSE each
};

// The binding loads the counting shim, as the benchmark has it.
class ShimmedE2eTest : public e2e::E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(card::LoadWinSCard(QEL_BENCH_SHIM_PATH));
        probe = std::make_unique<ShimProbe>(QEL_BENCH_SHIM_PATH);
    }
    void TearDown() override {
        probe.reset();
        card::UnloadWinSCard();
        E2eTest::TearDown();
    }

    std::unique_ptr<ShimProbe> probe;
};

class WorkflowSidesTest : public ShimmedE2eTest,
                          public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(WorkflowSidesTest, BothSidesMakeTheSameCallsAndReadTheSameValues) {
    std::vector<std::string> options = kCardValues;
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    start_card(options);

    const PcscTally before_floor = probe->read();
    EXPECT_EQ(floor_readout(probe->functions()), kExpected);
    const PcscTally floor = probe->read().since(before_floor);

    const PcscTally before_ours = probe->read();
    EXPECT_EQ(ours_readout(), kExpected);
    const PcscTally ours = probe->read().since(before_ours);

    for (std::size_t i = 0; i < kPcscCallKinds; ++i) {
        EXPECT_EQ(ours.calls[i], floor.calls[i]) << kPcscCallNames[i];
        // Every call that was made was timed.
        EXPECT_EQ(ours.nanos[i] > 0, ours.calls[i] > 0) << kPcscCallNames[i];
    }
    EXPECT_EQ(floor.calls_of(PcscCall::Transmit), GetParam().transmits);
    EXPECT_EQ(floor.calls_of(PcscCall::Connect), 1u);
    EXPECT_EQ(floor.calls_of(PcscCall::EstablishContext), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cards, WorkflowSidesTest,
                         ::testing::Values(ProtocolCase{"T0", {}, 7},
                                           ProtocolCase{"T1", {"--t1"}, 4}),
                         [](const ::testing::TestParamInfo<ProtocolCase>& info) {
                             return info.param.name;
                         });

struct RefusalCase {
    const char* name;
    std::vector<std::string> options;
};

class WorkflowRefusalTest
    : public ShimmedE2eTest,
      public ::testing::WithParamInterface<std::tuple<ProtocolCase, RefusalCase>> {
protected:
    const ProtocolCase& protocol() const { return std::get<0>(GetParam()); }
    const RefusalCase& refusal() const { return std::get<1>(GetParam()); }
};

TEST_P(WorkflowRefusalTest, BothSidesFailAfterTheSameCallsAndReleaseWhatTheyTook) {
    std::vector<std::string> options = refusal().options;
    options.insert(options.end(), protocol().options.begin(), protocol().options.end());
    start_card(options);

    const PcscTally before_floor = probe->read();
    EXPECT_THROW(floor_readout(probe->functions()), FloorError);
    const PcscTally floor = probe->read().since(before_floor);

    const PcscTally before_ours = probe->read();
    EXPECT_THROW(ours_readout(), std::exception);
    const PcscTally ours = probe->read().since(before_ours);

    for (std::size_t i = 0; i < kPcscCallKinds; ++i)
        EXPECT_EQ(ours.calls[i], floor.calls[i]) << kPcscCallNames[i];
    EXPECT_EQ(floor.calls_of(PcscCall::ReleaseContext), floor.calls_of(PcscCall::EstablishContext));
    // The empty second reader refuses the connection; every card connected is let go.
    EXPECT_EQ(floor.calls_of(PcscCall::Disconnect), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, WorkflowRefusalTest,
    ::testing::Combine(
        ::testing::Values(ProtocolCase{"T0", {}, 0}, ProtocolCase{"T1", {"--t1"}, 0}),
        ::testing::Values(RefusalCase{"NoApplet", {"--no-applet"}},
                          RefusalCase{"SerialRefused", {"--sw", "40106212=6A82"}},
                          RefusalCase{"ErrorCodeRefused", {"--sw", "40106220=6985"}})),
    [](const ::testing::TestParamInfo<std::tuple<ProtocolCase, RefusalCase>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace qel::bench
