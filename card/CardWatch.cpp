#include "card/CardWatch.h"

#include <algorithm>
#include <chrono>

#include "card/KSCardAPIExceptions.h"
#include "card/KSCardAPIReaders.h"

namespace qel::card {

namespace {

// The pace at which the service is asked again when nothing can tell of its return: no
// folder to watch, or a socket that is there but not answering (left by a service that was
// killed, or not yet listening).
constexpr int kServiceRetryMs = 1000;

// pcsc-lite drops a cancel that reaches it before the wait has begun, so stop() repeats it until
// the wait has ended, for at most a second.
constexpr std::chrono::milliseconds kCancelRepeat{5};
constexpr int kCancelTries = 200;

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
        case CardWatchEventKind::NoReader:
            return "no reader";
    }
    return "unknown event";
}

// --- CardWatch -------------------------------------------------------------------------------

CardWatch::CardWatch(CardWatchOptions options)
    : m_options(std::move(options)), socket(service_socket_path(m_options.socket_path)) {}

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
    wake.raise();
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
        if (e.failure() != PcscFailure::ServiceGone)
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
        socket.disarm();
        push(CardWatchEventKind::ServiceBack);
    }
    // A new context: nothing it reported has been looked at yet.
    readers.clear();
    pnp_state = SCARD_STATE_UNAWARE;
    take_reader_list(*names);
    started = true;
    // Nothing else would tell what the watch waits for: a first reader comes as "reader added".
    if (names->empty())
        push(CardWatchEventKind::NoReader);
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
        for (std::size_t i = 0; i < listed.size(); ++i)
            names.push_back(listed.Items(i).Name);
        return names;
    } catch (const EKSCardAPIWinAPIException& e) {
        if (e.failure() == PcscFailure::NoReader)
            return std::vector<std::string>{};
        if (e.failure() == PcscFailure::ServiceGone)
            return std::nullopt;
        throw;
    }
}

void CardWatch::list_again() {
    if (const auto names = list_readers())
        take_reader_list(*names);
    else
        lose_service();
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
        socket.wait(wake, kServiceRetryMs);
        list_again();
        return;
    }
    std::vector<SCARD_READERSTATE> states = reader_states();
    const std::optional<LONG> result = wait_status_change(states);
    if (!result)
        return;
    if (*result != SCARD_S_SUCCESS)
        take_wait_failure(*result);
    else if (take_new_states(states))
        list_again();
}

// Each reader's last look handed back as its current state, and the pseudo-reader for readers
// that come and go.
std::vector<SCARD_READERSTATE> CardWatch::reader_states() const {
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
    return states;
}

// The wait in PC/SC, announced to stop() so that it can cancel it; nothing once stopped.
std::optional<LONG> CardWatch::wait_status_change(std::vector<SCARD_READERSTATE>& states) {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopped())
            return std::nullopt;
        waiting = true;
    }
    LONG result = SCARD_F_UNKNOWN_ERROR;
    // Ended by a change or by stop(), never by time: the waiter must not bound it.
    auto wait = [&] {
        result = SCardGetStatusChangeA(context.get(), INFINITE, states.data(),
                                       static_cast<DWORD>(states.size()));
    };
    wait_for_service(wait, true);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting = false;
    }
    wait_ended.notify_all();
    if (stopped())
        return std::nullopt;
    return result;
}

void CardWatch::take_wait_failure(LONG result) {
    const auto code = static_cast<std::uint32_t>(result);
    switch (classify_pcsc(code)) {
        case PcscFailure::ServiceGone:
            lose_service();
            return;
        // Nobody else holds the context, so a cancel that is not a stop is stray, and a
        // time-out cannot come of an endless wait: look again.
        case PcscFailure::Interrupted:
            return;
        // A reader went between the list and the wait.
        case PcscFailure::ReaderGone:
            break;
        default:
            throw EKSCardAPIWinAPIException(kErrWatchCards, code);
    }
    const auto names = list_readers();
    if (!names) {
        lose_service();
        return;
    }
    // A service that still lists the reader it calls gone would answer the next wait the same
    // way at once: the readers are looked at again at the slow pace instead.
    const bool same = std::equal(
        names->begin(), names->end(), readers.begin(), readers.end(),
        [](const std::string& name, const Watched& reader) { return name == reader.name; });
    take_reader_list(*names);
    if (same)
        socket.wait(wake, kServiceRetryMs);
}

// What the wait reported; true when the readers must be listed again.
bool CardWatch::take_new_states(const std::vector<SCARD_READERSTATE>& states) {
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
    if (!pnp_supported)
        return list_again;
    const DWORD event = states.back().dwEventState;
    if ((event & SCARD_STATE_UNKNOWN) != 0) {
        // A service without the pseudo-reader reports it unknown, at once and every time.
        pnp_supported = false;
    } else if ((event & SCARD_STATE_CHANGED) != 0) {
        // Handed back as it came, the state ends the next wait only on a further change (some
        // releases count the readers in its upper 16 bits).
        pnp_state = event & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        list_again = true;
    }
    return list_again;
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
    socket.arm();
    open();
    if (!service_lost || stopped())
        return;
    socket.wait(wake, socket.will_tell() ? -1 : kServiceRetryMs);
}

}  // namespace qel::card
