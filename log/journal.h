#pragma once

// Structured entries for the system journal, through its native protocol (libsystemd's
// sd_journal_sendv, loaded at run time: a machine without libsystemd still reads dongles).

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qel::log {

// One entry: its fields as "NAME=value", a value may hold line ends.
using JournalEntry = std::vector<std::string>;

// How entries reach the journal: the program's way is journal_transport(); the tests put their
// own in its place.
struct JournalTransport {
    // Once, on the journal's thread, before the first entry: why no entry can ever be sent, or
    // empty when they can.
    std::function<std::string()> open;
    // One entry, on the journal's thread: empty when the journal took it, otherwise why not. It
    // may block for as long as the journal does not read.
    std::function<std::string(const JournalEntry&)> send;
};

// sd_journal_sendv of libsystemd, loaded at run time, to the system's journal.
JournalTransport journal_transport();
// The same with another library, and another place where the journal's socket is looked for
// before each entry (libsystemd itself always sends to the system's).
JournalTransport journal_transport(std::string library, std::string socket);

// Whether `fd` is the stream systemd connected to the journal for this process (a service's
// standard output and error): `journal_stream` is the value of JOURNAL_STREAM, the "DEVICE:INODE"
// of that stream, which children inherit whatever became of their descriptors. A line written
// there is an entry of its own already.
bool is_journal_stream(int fd, const char* journal_stream);

// Hands entries to the journal on a thread of its own, so that a journal that does not take them
// never holds up the caller: a watch goes on reading dongles, with its log file, whatever the
// journal does. An entry the journal does not take stays first in line and is tried again, so an
// outage of the journal loses nothing until the line is full.
class Journal {
public:
    // Why entries do not reach the journal: libsystemd cannot be loaded, the journal refuses
    // them, they pile up unsent, or they are given up at the end.
    using Unreachable = std::function<void(const std::string& why)>;
    // Entries reach the journal again, after `lost` of them were dropped or given up.
    using ReachableAgain = std::function<void(std::size_t lost)>;

    // `unreachable` is told once when an outage begins, and once more for each batch given up
    // at the end; `reachable_again` once when it ends. Neither is told under the queue's lock,
    // nor may it throw; either may be told on any thread that uses this object.
    Journal(Unreachable unreachable, ReachableAgain reachable_again);
    Journal(Unreachable unreachable, ReachableAgain reachable_again, JournalTransport transport);
    // Waits up to kDrainTime for the entries still queued: a one-shot readout ends right after
    // its entry. Entries still unsent then are given up, and said so.
    ~Journal();

    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Never waits for the journal: past kMaxQueued entries waiting, the entry is dropped and
    // counted lost.
    void send(JournalEntry entry);
    // For a process about to end without this object's destructor, on any thread, as often and
    // as concurrently as it likes: waits up to kDrainTime until every entry sent so far is in the
    // journal, then gives up those that are not and says how many, once for them. False when
    // entries were given up while it waited, by it or by a drain beside it.
    bool drain();

    static constexpr std::size_t kMaxQueued = 256;
    static constexpr std::chrono::milliseconds kDrainTime{2000};
    // How soon an entry the journal did not take is tried again.
    static constexpr std::chrono::milliseconds kRetryTime{250};

private:
    struct Shared;
    static void run(const std::shared_ptr<Shared>& shared);

    // Shared with the thread, which may outlive this object when the journal hangs at the end.
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace qel::log
