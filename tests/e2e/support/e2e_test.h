#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/pcsc_client.h"
#include "tests/e2e/support/virtual_card.h"

namespace qel::e2e {

// Base of every test that needs the real PC/SC stack. It fails, never skips, when the test
// does not run inside tools/pcsc-sandbox.sh or pcscd does not answer: CI must not pass by
// running none of them. Both virtual readers must be there and empty when a test starts; the
// cards a test starts are pulled when it ends, and the readers must be empty again.
class E2eTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a virtual card with qel_vcard's options in reader 0 or 1; it lives until the end
    // of the test (or until stop() on it).
    VirtualCard& start_card(const std::vector<std::string>& options = {}, int reader = 0);

    const PcscContext& pcsc() const { return *m_pcsc; }

private:
    std::unique_ptr<PcscContext> m_pcsc;
    std::vector<std::unique_ptr<VirtualCard>> m_cards;
};

}  // namespace qel::e2e
