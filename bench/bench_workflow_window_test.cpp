// The window's figure is read against the workflow's: a press must make the very PC/SC calls a
// bare readout makes, and end in the readout, or the difference is not the window's cost.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_workflow_ours.h"
#include "bench/bench_workflow_pcsc.h"
#include "card/WinSCard.h"
#include "tests/e2e/support/e2e_test.h"
#include "window/mfrm.h"

namespace qel::bench {
namespace {

struct ProtocolCase {
    const char* name;
    std::vector<std::string> options;
};

class WindowPressTest : public e2e::E2eTest, public ::testing::WithParamInterface<ProtocolCase> {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(card::LoadWinSCard(QEL_BENCH_SHIM_PATH));
        probe = std::make_unique<ShimProbe>(QEL_BENCH_SHIM_PATH);
        char dir[] = "/tmp/qel-bench-window-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        log_dir = dir;
    }
    void TearDown() override {
        probe.reset();
        card::UnloadWinSCard();
        std::error_code ignored;
        std::filesystem::remove_all(log_dir, ignored);
        E2eTest::TearDown();
    }

    std::unique_ptr<ShimProbe> probe;
    std::filesystem::path log_dir;
};

TEST_P(WindowPressTest, PressMakesTheWorkflowsCallsAndEndsInTheReadout) {
    std::vector<std::string> options{"--serial", "A1B2C3D4", "--error-code", "0000"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    start_card(options);

    const PcscTally before_ours = probe->read();
    ours_readout();
    const PcscTally ours = probe->read().since(before_ours);

    app::Tfrm frm((log_dir / "press.log").string());
    std::vector<std::string> reports;
    frm.error_report = [&reports](const std::string& text) { reports.push_back(text); };
    const PcscTally before_press = probe->read();
    frm.btnProcess->click();
    const PcscTally press = probe->read().since(before_press);

    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(frm.btnProcess->isEnabled());
    // With error code 00 00 there is no error-code line: the serial, the firmware, "Finished".
    EXPECT_EQ(frm.msg->text(),
              "Searching...\r\nSerial No (S/N): A1B2C3D4\r\nFirmware version: 010A\r\n"
              "Finished\r\n");
    for (std::size_t i = 0; i < kPcscCallKinds; ++i)
        EXPECT_EQ(press.calls[i], ours.calls[i]) << kPcscCallNames[i];
}

INSTANTIATE_TEST_SUITE_P(Cards, WindowPressTest,
                         ::testing::Values(ProtocolCase{"T0", {}}, ProtocolCase{"T1", {"--t1"}}),
                         [](const ::testing::TestParamInfo<ProtocolCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace qel::bench

int main(int argc, char* argv[]) {
    // Discovery starts the program without the test environment; the window is always off
    // screen here.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
