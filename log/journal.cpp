#include "log/journal.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>

namespace qel::log {

namespace {

using SendV = int (*)(const struct iovec* fields, int count);

constexpr const char* kLibrary = "libsystemd.so.0";
// Where sd_journal_sendv sends to. Without a socket there it drops the entry and reports success
// (a machine without a journal is no error to libsystemd), so the program looks for itself.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool socket_there(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Never unloaded: a thread given up at the end may still be inside the library.
SendV load_sendv(const std::string& library_name, std::string& problem) {
    void* library = dlopen(library_name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        problem = library_name + " cannot be loaded" + (why ? std::string(": ") + why : "");
        return nullptr;
    }
    auto* sendv = reinterpret_cast<SendV>(dlsym(library, "sd_journal_sendv"));
    if (sendv == nullptr)
        problem = library_name + " has no sd_journal_sendv";
    return sendv;
}

std::string unsent_text(std::size_t unsent) {
    return "the journal took no entry within " +
           std::to_string(Journal::kDrainTime.count() / 1000) + " s; " + std::to_string(unsent) +
           " not sent";
}

}  // namespace

JournalTransport journal_transport() {
    return journal_transport(kLibrary, kJournalSocket);
}

JournalTransport journal_transport(std::string library, std::string socket) {
    // Loaded by `open` on the journal's thread, used by `send` on the same thread after it.
    auto sendv = std::make_shared<SendV>(nullptr);
    JournalTransport transport;
    transport.open = [sendv, library = std::move(library)] {
        std::string problem;
        *sendv = load_sendv(library, problem);
        return problem;
    };
    transport.send = [sendv, socket = std::move(socket)](const JournalEntry& entry) {
        if (!socket_there(socket))
            return "the journal cannot be reached: no socket at " + socket;
        std::vector<iovec> fields;
        fields.reserve(entry.size());
        for (const std::string& field : entry)
            fields.push_back({const_cast<char*>(field.data()), field.size()});
        const int sent = (*sendv)(fields.data(), static_cast<int>(fields.size()));
        if (sent < 0)
            return std::string("the journal cannot be reached: ") + std::strerror(-sent);
        return std::string();
    };
    return transport;
}

bool is_journal_stream(int fd, const char* journal_stream) {
    if (journal_stream == nullptr)
        return false;
    const std::string_view value(journal_stream);
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos)
        return false;
    // The whole of each part a number, as systemd writes them.
    const auto number = [](std::string_view digits, std::uint64_t& parsed) {
        const char* end = digits.data() + digits.size();
        const auto [stop, error] = std::from_chars(digits.data(), end, parsed);
        return !digits.empty() && error == std::errc() && stop == end;
    };
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    struct stat info {};
    return number(value.substr(0, colon), device) && number(value.substr(colon + 1), inode) &&
           ::fstat(fd, &info) == 0 && static_cast<std::uint64_t>(info.st_dev) == device &&
           static_cast<std::uint64_t>(info.st_ino) == inode;
}

struct Journal::Shared {
    Unreachable unreachable;
    ReachableAgain reachable_again;
    JournalTransport transport;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<JournalEntry> queue;
    // The journal's thread holds an entry out of the queue that is neither taken nor given up:
    // it counts as waiting.
    bool sending = false;
    // The journal's thread is inside the transport, which may never come back.
    bool in_transport = false;
    bool ending = false;
    // No entry can ever be sent (libsystemd is missing): entries are dropped as they come.
    bool closed = false;
    // An outage has been said and no entry has been taken since; what it has cost so far.
    bool down = false;
    std::size_t lost = 0;
    // Batches given up by a drain: an entry out in the transport meanwhile is no longer ours.
    std::uint64_t batches_given_up = 0;

    // Notices wait here to be said in order, outside the lock, by one thread at a time: the
    // first that finds nobody saying them says them all.
    std::deque<std::function<void()>> notices;
    bool saying = false;
    std::uint64_t notices_posted = 0;
    std::uint64_t notices_said = 0;

    void post(std::function<void()> notice) {
        notices.push_back(std::move(notice));
        ++notices_posted;
    }

    void begin_outage(const std::string& why) {
        if (down)
            return;
        down = true;
        post([this, why] { unreachable(why); });
    }

    void end_outage() {
        if (!down)
            return;
        down = false;
        post([this, lost = lost] { reachable_again(lost); });
        lost = 0;
    }

    // Called and left with `lock` held; the notices are told with it released.
    void say_notices(std::unique_lock<std::mutex>& lock) {
        if (saying)
            return;
        saying = true;
        while (!notices.empty()) {
            const std::function<void()> notice = std::move(notices.front());
            notices.pop_front();
            lock.unlock();
            notice();
            lock.lock();
            ++notices_said;
            changed.notify_all();
        }
        saying = false;
    }
};

Journal::Journal(Unreachable unreachable, ReachableAgain reachable_again)
    : Journal(std::move(unreachable), std::move(reachable_again), journal_transport()) {}

Journal::Journal(Unreachable unreachable, ReachableAgain reachable_again,
                 JournalTransport transport)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->unreachable = std::move(unreachable);
    m_shared->reachable_again = std::move(reachable_again);
    m_shared->transport = std::move(transport);
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
    drain();
    // Whatever the drain found, nothing is left to send: the thread ends at once, unless the
    // journal's socket holds it, and then it ends with the process.
    bool stuck = false;
    {
        const std::lock_guard lock(m_shared->mutex);
        stuck = m_shared->in_transport;
    }
    if (stuck)
        m_thread.detach();
    else
        m_thread.join();
}

bool Journal::drain() {
    // Kept for the whole call: the main thread may end this object while a stop's thread drains.
    const std::shared_ptr<Shared> owner = m_shared;
    Shared& shared = *owner;
    std::unique_lock lock(shared.mutex);
    const std::uint64_t batch = shared.batches_given_up;
    const auto given_up = [&] { return shared.batches_given_up != batch; };
    const bool settled = shared.changed.wait_for(
        lock, kDrainTime, [&] { return (shared.queue.empty() && !shared.sending) || given_up(); });
    if (!settled) {
        const std::size_t unsent = shared.queue.size() + (shared.sending ? 1 : 0);
        shared.queue.clear();
        shared.sending = false;
        ++shared.batches_given_up;
        shared.lost += unsent;
        // Said whether or not the outage was: this is what the end costs.
        shared.down = true;
        shared.post([&shared, unsent] { shared.unreachable(unsent_text(unsent)); });
        shared.changed.notify_all();
    }
    shared.say_notices(lock);
    // The process may end right after this: what is to be said, by whichever thread, is said
    // first (a drain beside this one may be saying it).
    const std::uint64_t posted = shared.notices_posted;
    shared.changed.wait_for(lock, kDrainTime, [&] { return shared.notices_said >= posted; });
    return !given_up();
}

void Journal::send(JournalEntry entry) {
    Shared& shared = *m_shared;
    std::unique_lock lock(shared.mutex);
    if (shared.closed)
        return;
    if (shared.queue.size() + (shared.sending ? 1 : 0) >= kMaxQueued) {
        ++shared.lost;
        shared.begin_outage("the journal takes no entries; " + std::to_string(kMaxQueued) +
                            " wait unsent, the newer ones are dropped");
        shared.say_notices(lock);
        return;
    }
    shared.queue.push_back(std::move(entry));
    shared.changed.notify_all();
}

void Journal::run(const std::shared_ptr<Shared>& owner) {
    Shared& shared = *owner;
    const std::string problem = shared.transport.open();
    std::unique_lock lock(shared.mutex);
    if (!problem.empty()) {
        // An outage that never ends: said once, and nothing waits for entries that cannot go.
        shared.closed = true;
        shared.queue.clear();
        shared.begin_outage(problem);
        shared.changed.notify_all();
        shared.say_notices(lock);
        return;
    }
    for (;;) {
        shared.changed.wait(lock, [&] { return !shared.queue.empty() || shared.ending; });
        if (shared.queue.empty())
            return;
        JournalEntry entry = std::move(shared.queue.front());
        shared.queue.pop_front();
        shared.sending = true;
        shared.in_transport = true;
        const std::uint64_t batch = shared.batches_given_up;
        lock.unlock();
        const std::string why = shared.transport.send(entry);
        lock.lock();
        shared.in_transport = false;
        if (shared.batches_given_up != batch) {
            // A drain gave it up, and counted it, while it was out.
            if (shared.ending)
                return;
            continue;
        }
        shared.sending = false;
        if (why.empty()) {
            shared.end_outage();
            shared.changed.notify_all();
            shared.say_notices(lock);
            continue;
        }
        // First in line again, tried at a pace that costs nothing while the journal is away.
        shared.queue.push_front(std::move(entry));
        shared.begin_outage(why);
        shared.say_notices(lock);
        shared.changed.wait_for(lock, kRetryTime, [&] { return shared.batches_given_up != batch; });
    }
}

}  // namespace qel::log
