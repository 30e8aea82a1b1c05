#pragma once

#include <memory>
#include <string>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/pcsc_client.h"

namespace qel::e2e {

// Keeps a reader's card connected in exclusive mode from this process, with a context of its
// own, until destroyed: any other connection to it fails with a sharing violation.
class ExclusiveHolder {
public:
    explicit ExclusiveHolder(const std::string& reader);  // throws PcscError

private:
    PcscContext m_context;
    CardConnection m_card;
};

// The same from a separate program (another application holding the card). Construction
// returns once the card is held; destruction releases it.
class ExclusiveHolderProcess {
public:
    // Throws std::runtime_error with the holder's message when it cannot take the card within
    // `timeout`.
    explicit ExclusiveHolderProcess(const std::string& reader,
                                    std::chrono::milliseconds timeout = kDefaultTimeout);
    ~ExclusiveHolderProcess();

    ExclusiveHolderProcess(const ExclusiveHolderProcess&) = delete;
    ExclusiveHolderProcess& operator=(const ExclusiveHolderProcess&) = delete;

    pid_t pid() const { return m_process->pid(); }

    // Lets the card go (the holder disconnects and ends); the exit status as ChildProcess::stop.
    int release();

private:
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace qel::e2e
