#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/pcsc_client.h"

namespace qel::e2e {

// One qel_vcard program playing a card in one of vpcd's two readers. Construction returns once
// pcscd reports the card present; destruction pulls it and waits until pcscd reports the
// reader empty, so the next test finds the reader as it should.
class VirtualCard {
public:
    // `reader` 0 or 1; `options` are qel_vcard's (--port is added, and --verbose for the log).
    // Throws std::runtime_error, with the card's log, when the card does not show up within
    // `timeout`.
    VirtualCard(int reader, const std::vector<std::string>& options,
                std::chrono::milliseconds timeout = kDefaultTimeout);
    ~VirtualCard();

    VirtualCard(const VirtualCard&) = delete;
    VirtualCard& operator=(const VirtualCard&) = delete;

    const std::string& reader_name() const { return m_reader; }
    pid_t pid() const { return m_process->pid(); }

    // Pulls the card (SIGTERM) and waits until the reader is empty. Returns the program's exit
    // status (see ChildProcess); throws std::runtime_error when the reader does not empty.
    int stop(std::chrono::milliseconds timeout = kDefaultTimeout);

    // A card gone silent (--silent-after) answers the APDU it left waiting and speaks again.
    void wake() const;

    // For cards that leave by themselves (--pull-after): the exit status, or nothing.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = kDefaultTimeout);

    // Waits until pcscd reports the card present (true) or the reader empty (false).
    bool wait_for_card(bool present, std::chrono::milliseconds timeout = kDefaultTimeout) const;

    // Everything the card logged (controls and APDUs, one per line).
    std::string log() const { return m_process->log(); }

private:
    std::string m_reader;
    PcscContext m_context;
    std::unique_ptr<ChildProcess> m_process;
    bool m_stopped = false;
};

}  // namespace qel::e2e
