#include "tests/e2e/support/virtual_card.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace qel::e2e {

VirtualCard::VirtualCard(int reader, const std::vector<std::string>& options,
                         std::chrono::milliseconds timeout) {
    if (reader < 0 || reader >= kReaderCount)
        throw std::runtime_error("no virtual reader " + std::to_string(reader));
    m_reader = kReaderNames[reader];
    // A card of an earlier test or program that is still on its way out would be taken for this
    // one: its waiting below must see this card come in.
    if (!m_context.wait_for_card(m_reader, false, timeout))
        throw std::runtime_error("\"" + m_reader + "\" still holds an earlier card");

    std::vector<std::string> args{"--port", std::to_string(kReaderPorts[reader]), "--verbose",
                                  "--parent", std::to_string(::getpid())};
    args.insert(args.end(), options.begin(), options.end());
    m_process = std::make_unique<ChildProcess>(QEL_VCARD_PATH, args);

    if (!m_context.wait_for_card(m_reader, true, timeout,
                                 [this] { return m_process->running(); })) {
        const bool ended = !m_process->running();
        const int status = m_process->stop();
        m_stopped = true;
        std::string what = "virtual card in \"" + m_reader + "\" ";
        what += ended ? "ended with status " + std::to_string(status)
                      : "not present after " + std::to_string(timeout.count()) + " ms";
        throw std::runtime_error(what + "; its log:\n" + m_process->log());
    }
}

VirtualCard::~VirtualCard() {
    if (m_stopped)
        return;
    try {
        stop();
    } catch (const std::exception& e) {
        // A destructor cannot fail the test; the next test's start-up check will.
        std::fprintf(stderr, "%s\n", e.what());
    }
}

int VirtualCard::stop(std::chrono::milliseconds timeout) {
    const int status = m_process->stop();
    m_stopped = true;
    if (!m_context.wait_for_card(m_reader, false, timeout))
        throw std::runtime_error("\"" + m_reader + "\" still holds a card " +
                                 std::to_string(timeout.count()) +
                                 " ms after the virtual card ended");
    return status;
}

void VirtualCard::wake() const {
    ::kill(m_process->pid(), SIGUSR1);
}

std::optional<int> VirtualCard::wait_exit(std::chrono::milliseconds timeout) {
    return m_process->wait_exit(timeout);
}

bool VirtualCard::wait_for_card(bool present, std::chrono::milliseconds timeout) const {
    return m_context.wait_for_card(m_reader, present, timeout);
}

}  // namespace qel::e2e
