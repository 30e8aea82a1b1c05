#include "card/CardWatch.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "card/KSCardAPIExceptions.h"
#include "card/KSCardAPIReaders.h"
#include "util/Exception.h"

namespace qel::card {

namespace {

// The pace at which the service is asked again when nothing can tell of its return: no
// directory to watch, or a socket that is there but not answering (left by a service that was
// killed, or not yet listening).
constexpr int kServiceRetryMs = 1000;

// pcsc-lite drops a cancel that reaches it before the wait has begun, so stop() repeats it until
// the wait has ended, for at most a second.
constexpr std::chrono::milliseconds kCancelRepeat{5};
constexpr int kCancelTries = 200;

// The codes pcsc-lite reports its service gone with: not running, shut down under the call,
// restarted since the context was made (the new service knows none of the old handles), or the
// connection broken in the middle of a call.
bool service_gone(std::uint32_t code) {
    switch (code) {
        case static_cast<std::uint32_t>(SCARD_E_NO_SERVICE):
        case static_cast<std::uint32_t>(SCARD_E_SERVICE_STOPPED):
        case static_cast<std::uint32_t>(SCARD_E_INVALID_HANDLE):
        case static_cast<std::uint32_t>(SCARD_F_COMM_ERROR):
            return true;
        default:
            return false;
    }
}

std::string socket_path_of(const CardWatchOptions& options) {
    if (!options.socket_path.empty())
        return options.socket_path;
    if (const char* name = std::getenv("PCSCLITE_CSOCK_NAME"); name != nullptr && *name != '\0')
        return name;
    return kPcscSocketPath;
}

std::string directory_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string system_error_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

OwnedFd make_event_fd() {
    OwnedFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd.holds())
        throw util::Exception(system_error_text("Cannot create an event descriptor", errno));
    return fd;
}

void signal_event(const OwnedFd& fd) noexcept {
    const std::uint64_t one = 1;
    // The only failure left is a counter already too full to add to, which is readable anyway.
    if (::write(fd.get(), &one, sizeof one) < 0)
        return;
}

// Waits on `fds` for input, as poll() does, through interruptions.
int poll_input(pollfd* fds, nfds_t count, int timeout_ms) {
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    int ready = 0;
    do {
        ready = ::poll(fds, count, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

}  // namespace

const char* card_watch_event_name(CardWatchEventKind kind) noexcept {
    switch (kind) {
        case CardWatchEventKind::CardInserted:
            return "card inserted";
        case CardWatchEventKind::CardRemoved:
            return "card removed";
        case CardWatchEventKind::ReaderAdded:
            return "reader added";
        case CardWatchEventKind::ReaderRemoved:
            return "reader removed";
        case CardWatchEventKind::ServiceLost:
            return "service lost";
        case CardWatchEventKind::ServiceBack:
            return "service back";
    }
    return "unknown event";
}

// --- CardWatch -------------------------------------------------------------------------------

CardWatch::CardWatch(CardWatchOptions options)
    : m_options(std::move(options)),
      socket_path(socket_path_of(m_options)),
      wake(make_event_fd()) {}

CardWatch::~CardWatch() {
    stop();
}

std::optional<CardWatchEvent> CardWatch::next() {
    while (!stopped()) {
        if (!pending.empty()) {
            CardWatchEvent event = std::move(pending.front());
            pending.pop_front();
            return event;
        }
        if (service_lost)
            await_service();
        else if (!context.holds())
            open();
        else
            wait_for_change();
    }
    return std::nullopt;
}

void CardWatch::stop() noexcept {
    m_stop.store(true, std::memory_order_release);
    signal_event(wake);
    std::unique_lock<std::mutex> lock(mutex);
    for (int tries = 0; waiting && tries < kCancelTries; ++tries) {
        // Of no use to look at: a wait that cannot be cancelled ends with its service anyway.
        SCardCancel(context.get());
        wait_ended.wait_for(lock, kCancelRepeat);
    }
}

void CardWatch::push(CardWatchEventKind kind, const std::string& reader) {
    pending.push_back(CardWatchEvent{kind, reader});
}

void CardWatch::open() {
    PcscContext fresh;
    try {
        fresh = establish_context(SCARD_SCOPE_USER);
    } catch (const EKSCardAPIWinAPIException& e) {
        if (!service_gone(e.ErrorCode))
            throw;
        lose_service();
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        context = std::move(fresh);
    }
    const auto names = list_readers();
    if (!names) {
        lose_service();
        return;
    }
    if (service_lost) {
        service_lost = false;
        inotify.reset();
        socket_dir_watch = -1;
        push(CardWatchEventKind::ServiceBack);
    }
    // A new context: nothing it reported has been looked at yet.
    readers.clear();
    pnp_state = SCARD_STATE_UNAWARE;
    take_reader_list(*names);
    started = true;
}

void CardWatch::lose_service() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        context.reset();
    }
    readers.clear();
    if (!service_lost) {
        service_lost = true;
        push(CardWatchEventKind::ServiceLost);
    }
}

std::optional<std::vector<std::string>> CardWatch::list_readers() {
    try {
        const TKSCardAPIReadersCollection listed(context.get());
        std::vector<std::string> names;
        for (std::size_t i = 0; i < listed.Count(); ++i)
            names.push_back(listed.Items(i).Name);
        return names;
    } catch (const EKSCardAPIWinAPIException& e) {
        if (e.ErrorCode == static_cast<std::uint32_t>(SCARD_E_NO_READERS_AVAILABLE))
            return std::vector<std::string>{};
        if (service_gone(e.ErrorCode))
            return std::nullopt;
        throw;
    }
}

void CardWatch::take_reader_list(const std::vector<std::string>& names) {
    const auto listed = [&names](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (auto it = known.begin(); it != known.end();) {
        if (listed(it->first)) {
            ++it;
            continue;
        }
        // Every insertion reported is followed by its removal, a reader that went included.
        if (it->second.value_or(false))
            push(CardWatchEventKind::CardRemoved, it->first);
        push(CardWatchEventKind::ReaderRemoved, it->first);
        it = known.erase(it);
    }

    std::vector<Watched> watched;
    for (const std::string& name : names) {
        // Before the first list every reader is part of the start; after it, a new reader
        // starts empty, so that a card it comes with (a USB token is reader and card in one)
        // counts as inserted.
        const bool added =
            known.emplace(name, started ? std::optional<bool>(false) : std::nullopt).second;
        if (added && started)
            push(CardWatchEventKind::ReaderAdded, name);
        // A reader listed again keeps its last look, so that a change since still ends the wait.
        const auto old = std::find_if(readers.begin(), readers.end(),
                                      [&name](const Watched& r) { return r.name == name; });
        watched.push_back(old != readers.end() ? *old : Watched{name});
    }
    readers = std::move(watched);
}

void CardWatch::wait_for_change() {
    if (readers.empty() && !pnp_supported) {
        // Nothing could end a wait: no reader, and a service that cannot tell of new ones.
        wait_for_wake(kServiceRetryMs);
        if (const auto names = list_readers())
            take_reader_list(*names);
        else
            lose_service();
        return;
    }

    std::vector<SCARD_READERSTATE> states(readers.size() + (pnp_supported ? 1 : 0));
    for (std::size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers[i].name.c_str();
        states[i].dwCurrentState = readers[i].state;
        states[i].dwEventState = readers[i].state;
    }
    if (pnp_supported) {
        states.back().szReader = kPnpNotificationReader;
        states.back().dwCurrentState = pnp_state;
        states.back().dwEventState = pnp_state;
    }

    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopped())
            return;
        waiting = true;
    }
    const LONG result = SCardGetStatusChangeA(context.get(), INFINITE, states.data(),
                                              static_cast<DWORD>(states.size()));
    {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting = false;
    }
    wait_ended.notify_all();
    if (stopped())
        return;

    try {
        check_pcsc(result, kErrWatchCards);
    } catch (const EKSCardAPIWinAPIException& e) {
        if (service_gone(e.ErrorCode)) {
            lose_service();
            return;
        }
        switch (e.ErrorCode) {
            // Nobody else holds the context, so a cancel that is not a stop is stray, and a
            // time-out cannot come of an endless wait: look again.
            case static_cast<std::uint32_t>(SCARD_E_CANCELLED):
            case static_cast<std::uint32_t>(SCARD_E_TIMEOUT):
                return;
            // A reader went between the list and the wait.
            case static_cast<std::uint32_t>(SCARD_E_UNKNOWN_READER):
                break;
            default:
                throw;
        }
        const auto names = list_readers();
        if (!names) {
            lose_service();
            return;
        }
        // A service that still lists the reader it calls unknown would answer the next wait the
        // same way at once: the readers are looked at again at the slow pace instead.
        const bool same = std::equal(
            names->begin(), names->end(), readers.begin(), readers.end(),
            [](const std::string& name, const Watched& reader) { return name == reader.name; });
        take_reader_list(*names);
        if (same)
            wait_for_wake(kServiceRetryMs);
        return;
    }

    bool list_again = false;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const DWORD event = states[i].dwEventState;
        if ((event & SCARD_STATE_CHANGED) == 0 && readers[i].state != SCARD_STATE_UNAWARE)
            continue;
        if ((event & SCARD_STATE_UNKNOWN) != 0)
            list_again = true;  // the reader is gone; the new list says so
        else
            look_at(readers[i], event);
        readers[i].state = event & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    if (pnp_supported) {
        const DWORD event = states.back().dwEventState;
        if ((event & SCARD_STATE_UNKNOWN) != 0) {
            // A service without the pseudo-reader reports it unknown, at once and every time.
            pnp_supported = false;
        } else if ((event & SCARD_STATE_CHANGED) != 0) {
            // Handed back as it came, the state ends the next wait only on a further change
            // (some releases count the readers in its upper 16 bits).
            pnp_state = event & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            list_again = true;
        }
    }
    if (!list_again)
        return;
    if (const auto names = list_readers())
        take_reader_list(*names);
    else
        lose_service();
}

void CardWatch::look_at(Watched& reader, DWORD event_state) {
    const bool present = (event_state & SCARD_STATE_PRESENT) != 0;
    std::optional<bool>& told = known[reader.name];
    if (!told) {
        told = present;
        if (present && m_options.report_present_cards)
            push(CardWatchEventKind::CardInserted, reader.name);
        return;
    }
    if (*told != present) {
        told = present;
        push(present ? CardWatchEventKind::CardInserted : CardWatchEventKind::CardRemoved,
             reader.name);
        return;
    }
    // There before and there now, yet the reader's count of insertions and removals (the upper
    // 16 bits) has moved on: the card was taken out and one put in between two looks.
    if (present && reader.state != SCARD_STATE_UNAWARE &&
        (event_state >> 16) != (reader.state >> 16)) {
        push(CardWatchEventKind::CardRemoved, reader.name);
        push(CardWatchEventKind::CardInserted, reader.name);
    }
}

void CardWatch::await_service() {
    // Armed before the service is asked, so that a socket made in between still wakes the wait.
    arm_socket_watch();
    open();
    if (!service_lost || stopped())
        return;
    const bool socket_will_tell = socket_dir_watch >= 0 && !file_exists(socket_path);
    wait_for_wake(socket_will_tell ? -1 : kServiceRetryMs);
}

void CardWatch::arm_socket_watch() {
    if (!inotify.holds()) {
        inotify = OwnedFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        socket_dir_watch = -1;
        if (!inotify.holds())
            return;
    }
    if (socket_dir_watch >= 0)
        return;
    // The service makes its socket when it starts (IN_CREATE), may move one into place
    // (IN_MOVED_TO) or open it up by changing its mode once it listens (IN_ATTRIB). If the
    // directory itself goes, the watch goes with it and is set up again on the next round.
    socket_dir_watch = ::inotify_add_watch(
        inotify.get(), directory_of(socket_path).c_str(),
        IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
}

void CardWatch::wait_for_wake(int timeout_ms) {
    std::array<pollfd, 2> fds{};
    fds[0].fd = wake.get();
    fds[1].fd = inotify.get();
    const nfds_t count = inotify.holds() ? 2 : 1;
    if (poll_input(fds.data(), count, timeout_ms) <= 0 || count < 2 ||
        (fds[1].revents & POLLIN) == 0)
        return;
    // Any change in the directory is reason enough to ask the service again; all that matters
    // in the events is whether the watch itself has ended.
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(inotify.get(), buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event header{};
            std::memcpy(&header, buffer + offset, sizeof header);
            if ((header.mask & IN_IGNORED) != 0)
                socket_dir_watch = -1;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + header.len);
        }
    }
}

// --- StopSignals -----------------------------------------------------------------------------

StopSignals::StopSignals(std::function<void(int signal)> on_signal, const std::vector<int>& taken)
    : m_on_signal(std::move(on_signal)) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : taken)
        sigaddset(&set, signal);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, &previous_mask); error != 0)
        throw util::Exception(system_error_text("Cannot block the stop signals", error));
    try {
        m_signals = OwnedFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!m_signals.holds())
            throw util::Exception(system_error_text("Cannot read the stop signals", errno));
        wake = make_event_fd();
        thread = std::thread([this] { run(); });
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
        throw;
    }
}

StopSignals::~StopSignals() {
    signal_event(wake);
    thread.join();
    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
}

void StopSignals::run() {
    for (;;) {
        std::array<pollfd, 2> fds{};
        fds[0].fd = wake.get();
        fds[1].fd = m_signals.get();
        if (poll_input(fds.data(), fds.size(), -1) < 0 || (fds[0].revents & POLLIN) != 0)
            return;
        signalfd_siginfo info{};
        while (::read(m_signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const int signal = static_cast<int>(info.ssi_signo);
            m_received.store(signal, std::memory_order_release);
            m_on_signal(signal);
        }
    }
}

}  // namespace qel::card
