#pragma once

// Structured entries for the system journal, through its native protocol (libsystemd's
// sd_journal_sendv, loaded at run time: a machine without libsystemd still reads dongles).

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel::log {

// One entry: its fields as "NAME=value", a value may hold line ends.
using JournalEntry = std::vector<std::string>;

// Hands entries to the journal on a thread of its own, so that a journal that does not take them
// never holds up the caller: a watch goes on reading dongles, with its log file, whatever the
// journal does.
class Journal {
public:
    // `unreachable` is told once, on the journal's thread, why entries do not reach the journal:
    // libsystemd cannot be loaded, the journal refuses them, or they pile up unsent.
    explicit Journal(std::function<void(const std::string&)> unreachable);
    // Waits up to kDrainTime for the entries still queued: a one-shot readout ends right after
    // its entry. An entry still unsent then is given up, and said so.
    ~Journal();

    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Never blocks: past kMaxQueued entries waiting, the entry is dropped (and said so once).
    void send(JournalEntry entry);
    // Waits up to kDrainTime until every entry sent so far is in the journal, for a process that
    // is about to end without this object's destructor. False, and said so, when some are not.
    bool drain();

    static constexpr std::size_t kMaxQueued = 256;
    static constexpr std::chrono::milliseconds kDrainTime{2000};

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);

    // Shared with the thread, which may outlive this object when the journal hangs at the end.
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace qel::log
