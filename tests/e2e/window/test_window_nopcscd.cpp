// A machine with pcsc-lite installed but no PC/SC service running: the first thing a user of a
// fresh install meets. Runs only in a sandbox without pcscd (label nopcscd).

#include <PCSC/winscard.h>

#include <memory>

#include "tests/e2e/support/pcsc_client.h"
#include "tests/e2e/window/window_harness.h"

namespace qel::e2e {
namespace {

constexpr const char* kNoService =
    "Dongle can't be found: Error when establishing context\r\nSmartCard API error "
    "#2148532253\r\nThe Smart card resource manager is not running.";

class WindowWithoutPcscd : public ::testing::Test {
protected:
    void SetUp() override {
        // A reachable daemon would make every expectation below fail for the wrong reason.
        try {
            const PcscContext context;
            FAIL() << "a PC/SC daemon answers; this test runs in "
                      "tools/pcsc-sandbox.sh --no-pcscd -- ctest -L nopcscd";
        } catch (const PcscError& e) {
            ASSERT_EQ(pcsc_code_text(e.code()), pcsc_code_text(SCARD_E_NO_SERVICE)) << e.what();
        }
        window = std::make_unique<WindowUnderTest>();
    }

    std::unique_ptr<WindowUnderTest> window;
};

TEST_F(WindowWithoutPcscd, EveryPressSaysTheResourceManagerIsNotRunning) {
    const std::string run = std::string("Searching...\r\n") + kNoService + "\r\nFinished\r\n";
    window->press();
    EXPECT_EQ(window->memo(), run);
    EXPECT_EQ(window->status(), "Finished");
    EXPECT_TRUE(window->reports.empty());
    EXPECT_TRUE(window->button_enabled());
    EXPECT_FALSE(window->holds_dongle());

    // Nothing of the failed run is left over to change the next one.
    window->press();
    EXPECT_EQ(window->memo(), run);
    std::string lines;
    ASSERT_TRUE(split_log_file(window->log_file(), lines));
    EXPECT_EQ(lines, run + run);
}

}  // namespace
}  // namespace qel::e2e
