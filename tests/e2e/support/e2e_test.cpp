#include "tests/e2e/support/e2e_test.h"

#include <algorithm>
#include <cstdlib>

namespace qel::e2e {

namespace {

constexpr const char* kHowToRun =
    "end-to-end tests run against the private pcscd of the sandbox: "
    "tools/pcsc-sandbox.sh -- ctest --test-dir <build dir> -L e2e";

}  // namespace

void E2eTest::SetUp() {
    const char* sandbox = std::getenv("QEL_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1")
        FAIL() << "QEL_SANDBOX is not set: " << kHowToRun;
    try {
        m_pcsc = std::make_unique<PcscContext>();
    } catch (const PcscError& e) {
        FAIL() << "pcscd is unreachable (" << e.what() << "); " << kHowToRun;
    }

    std::vector<std::string> readers;
    try {
        readers = m_pcsc->readers();
    } catch (const PcscError& e) {
        FAIL() << e.what() << "; " << kHowToRun;
    }
    for (const char* name : kReaderNames) {
        if (std::find(readers.begin(), readers.end(), name) == readers.end())
            FAIL() << "pcscd has no reader \"" << name << "\" (is vpcd configured?); " << kHowToRun;
        if (!m_pcsc->wait_for_card(name, false))
            FAIL() << "\"" << name << "\" holds a card before the test started: "
                   << "an earlier card was not stopped";
    }
}

void E2eTest::TearDown() {
    // Newest first, each waiting until its reader is empty.
    while (!m_cards.empty()) {
        try {
            // Anything but a clean exit (a crash, a sanitizer report) is a fault of the card.
            if (const int status = m_cards.back()->stop(); status != 0)
                ADD_FAILURE() << "virtual card in \"" << m_cards.back()->reader_name()
                              << "\" ended with status " << status << "; its log:\n"
                              << m_cards.back()->log();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
        m_cards.pop_back();
    }
}

VirtualCard& E2eTest::start_card(const std::vector<std::string>& options, int reader) {
    m_cards.push_back(std::make_unique<VirtualCard>(reader, options));
    return *m_cards.back();
}

}  // namespace qel::e2e
