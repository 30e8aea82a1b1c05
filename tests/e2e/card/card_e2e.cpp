#include "tests/e2e/card/card_e2e.h"

#include <future>
#include <sstream>

namespace qel::e2e {

namespace {

constexpr const char* kCommandMark = "qel_vcard: > ";

}  // namespace

BoundContext::BoundContext() {
    const LONG rv = card::SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context);
    if (rv != SCARD_S_SUCCESS)
        throw PcscError("SCardEstablishContext", rv);
}

BoundContext::~BoundContext() {
    card::SCardReleaseContext(m_context);  // nothing a test could do about a failure here
}

void CardE2eTest::SetUp() {
    E2eTest::SetUp();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(card::LoadWinSCard()) << "the binding cannot load " << card::kPcscLibraryName;
}

void CardE2eTest::TearDown() {
    card::UnloadWinSCard();
    E2eTest::TearDown();
}

::testing::AssertionResult CardE2eTest::reader_is_free(const std::string& reader) const {
    try {
        const CardConnection probe(pcsc(), reader, SCARD_SHARE_EXCLUSIVE);
    } catch (const PcscError& e) {
        return ::testing::AssertionFailure() << "\"" << reader << "\" is still held: " << e.what();
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> commands_received(const VirtualCard& card) {
    std::vector<std::string> commands;
    std::istringstream log(card.log());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind(kCommandMark, 0) == 0)
            commands.push_back(hex(bytes(line.substr(std::string(kCommandMark).size()))));
    }
    return commands;
}

std::string failure_text(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "no exception raised";
    return {};
}

void run_bounded(std::chrono::milliseconds bound, const std::function<void()>& action,
                 const std::function<void()>& unblock) {
    std::future<void> done = std::async(std::launch::async, action);
    if (done.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "still blocked after " << bound.count() << " ms";
        unblock();
    }
    done.get();
}

}  // namespace qel::e2e
