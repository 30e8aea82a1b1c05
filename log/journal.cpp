#include "log/journal.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cstring>

namespace qel::log {

namespace {

using SendV = int (*)(const struct iovec* fields, int count);

constexpr const char* kLibrary = "libsystemd.so.0";
// Where sd_journal_sendv sends to. Without a socket there it drops the entry and reports success
// (a machine without a journal is no error to libsystemd), so the program looks for itself.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool journal_socket_there() {
    struct stat info {};
    return ::stat(kJournalSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

// Never unloaded: a thread given up at the end may still be inside the library.
SendV load_sendv(std::string& problem) {
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        problem =
            std::string(kLibrary) + " cannot be loaded" + (why ? std::string(": ") + why : "");
        return nullptr;
    }
    auto* sendv = reinterpret_cast<SendV>(dlsym(library, "sd_journal_sendv"));
    if (sendv == nullptr)
        problem = std::string(kLibrary) + " has no sd_journal_sendv";
    return sendv;
}

}  // namespace

struct Journal::Shared {
    std::function<void(const std::string&)> unreachable;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<JournalEntry> queue;
    bool sending = false;  // an entry is out of the queue and not yet taken by the journal
    bool ending = false;
    bool told = false;

    // Once for the life of the program: one reason is enough to act on.
    void tell(const std::string& why) {
        if (told)
            return;
        told = true;
        unreachable(why);
    }
};

Journal::Journal(std::function<void(const std::string&)> unreachable)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->unreachable = std::move(unreachable);
    // The thread takes no signal: a stop signal is the program's to handle, on a thread of its
    // choosing. A thread inherits the mask of the one that starts it.
    struct RestoredMask {
        sigset_t before;
        ~RestoredMask() { pthread_sigmask(SIG_SETMASK, &before, nullptr); }
    } restored{};
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &restored.before);
    m_thread = std::thread(run, m_shared);
}

Journal::~Journal() {
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->ending = true;
        m_shared->changed.notify_all();
    }
    if (drain()) {
        m_thread.join();
    } else {
        // Stuck in the journal's socket: it ends with the process.
        m_thread.detach();
    }
}

bool Journal::drain() {
    std::unique_lock lock(m_shared->mutex);
    const bool drained = m_shared->changed.wait_for(
        lock, kDrainTime, [this] { return m_shared->queue.empty() && !m_shared->sending; });
    if (!drained) {
        const std::size_t unsent = m_shared->queue.size() + (m_shared->sending ? 1 : 0);
        m_shared->queue.clear();
        m_shared->tell("the journal took no entry within " +
                       std::to_string(kDrainTime.count() / 1000) + " s; " + std::to_string(unsent) +
                       " not sent");
    }
    return drained;
}

void Journal::send(JournalEntry entry) {
    const std::lock_guard lock(m_shared->mutex);
    if (m_shared->queue.size() >= kMaxQueued) {
        m_shared->tell("the journal takes no entries; " + std::to_string(kMaxQueued) +
                       " wait unsent, the newer ones are dropped");
        return;
    }
    m_shared->queue.push_back(std::move(entry));
    m_shared->changed.notify_all();
}

void Journal::run(const std::shared_ptr<Shared>& shared) {
    std::string problem;
    const SendV sendv = load_sendv(problem);
    std::unique_lock lock(shared->mutex);
    if (sendv == nullptr)
        shared->tell(problem);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->queue.empty() || shared->ending; });
        if (shared->queue.empty())
            return;
        const JournalEntry entry = std::move(shared->queue.front());
        shared->queue.pop_front();
        if (sendv == nullptr || !journal_socket_there()) {
            if (sendv != nullptr)
                shared->tell(std::string("the journal cannot be reached: no socket at ") +
                             kJournalSocket);
            // Given up: a drain waiting for it may end.
            shared->changed.notify_all();
            continue;
        }
        shared->sending = true;
        lock.unlock();
        std::vector<iovec> fields;
        fields.reserve(entry.size());
        for (const std::string& field : entry)
            fields.push_back({const_cast<char*>(field.data()), field.size()});
        const int sent = sendv(fields.data(), static_cast<int>(fields.size()));
        lock.lock();
        shared->sending = false;
        if (sent < 0)
            shared->tell(std::string("the journal cannot be reached: ") + std::strerror(-sent));
        shared->changed.notify_all();
    }
}

}  // namespace qel::log
