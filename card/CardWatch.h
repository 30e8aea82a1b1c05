#pragma once

// Watching the readers for cards that come and go, one event at a time, for programs that read
// each dongle once per insertion. The watch sleeps inside PC/SC until something changes, and
// outlives the PC/SC service: when the service goes it says so once, sleeps until the service's
// socket comes back, and goes on with a new context.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/PcscOwners.h"
#include "card/ServiceSocketWatch.h"
#include "card/WinSCard.h"
#include "util/WakeEvent.h"

namespace qel::card {

// The pseudo-reader whose state changes whenever a reader is added or removed.
inline constexpr const char* kPnpNotificationReader = "\\\\?PnP?\\Notification";

inline constexpr const char* kErrWatchCards = "Error when waiting for a card change";

enum class CardWatchEventKind {
    CardInserted,
    CardRemoved,
    ReaderAdded,
    ReaderRemoved,
    ServiceLost,
    ServiceBack,
    // The service, reached with a new context, lists no reader at all.
    NoReader,
};

struct CardWatchEvent {
    CardWatchEventKind kind = CardWatchEventKind::CardInserted;
    std::string reader;  // empty for the service events

    bool operator==(const CardWatchEvent&) const = default;
};

// "card inserted", "reader removed", "service lost", ...
const char* card_watch_event_name(CardWatchEventKind kind) noexcept;

struct CardWatchOptions {
    // A card already in its reader when watching begins counts as inserted then.
    bool report_present_cards = false;
    // The service's socket, whose directory is watched while the service is away. Empty:
    // PCSCLITE_CSOCK_NAME, or kPcscSocketPath without it.
    std::string socket_path;
};

// Reports cards inserted and removed, readers added and removed, the PC/SC service going and
// coming back, and a service reached that has no reader. The PC/SC binding must be loaded for as
// long as the watch lives.
//
// One thread calls next(); any thread may call stop(). The watch is destroyed only once no
// next() is under way.
class CardWatch {
public:
    // Creates nothing in PC/SC yet: the first next() establishes the context, so a service that
    // is away at start is reported by the watch like any later outage. Raises util::Exception
    // when the process is out of file descriptors.
    explicit CardWatch(CardWatchOptions options = {});
    ~CardWatch();

    CardWatch(const CardWatch&) = delete;
    CardWatch& operator=(const CardWatch&) = delete;

    // Blocks until the next event, and returns nothing once the watch is stopped. A card counts
    // as inserted once per insertion: on its change from absent to present, or when a card was
    // taken out and another put in between two looks. "Service lost" comes once per outage, and
    // "service back" when a new context works; cards found then are compared with what was
    // reported before the outage. Raises EKSCardAPIWinAPIException (kErrWatchCards,
    // kErrEstablishContext, kErrListReaders) for a PC/SC failure that is not the service going;
    // next() may be called again afterwards.
    std::optional<CardWatchEvent> next();

    // Ends the watch: a next() under way returns nothing within milliseconds, and every later
    // one returns nothing at once. Safe from any thread, any number of times; waits only for a
    // PC/SC wait under way to acknowledge the cancel.
    void stop() noexcept;
    bool stopped() const noexcept { return m_stop.load(std::memory_order_acquire); }

    // Whether a context has ever worked: false while the service has been away since the start.
    // For the thread that calls next().
    bool service_seen() const noexcept { return started; }

private:
    struct Watched {
        std::string name;
        // What the last look reported (event counter in the upper 16 bits), handed back as the
        // current state so that only a change wakes the next wait; 0 before the first look.
        DWORD state = SCARD_STATE_UNAWARE;
    };

    void open();
    void lose_service();
    std::optional<std::vector<std::string>> list_readers();
    void list_again();
    void take_reader_list(const std::vector<std::string>& names);
    void wait_for_change();
    std::vector<SCARD_READERSTATE> reader_states() const;
    std::optional<LONG> wait_status_change(std::vector<SCARD_READERSTATE>& states);
    void take_wait_failure(LONG result);
    bool take_new_states(const std::vector<SCARD_READERSTATE>& states);
    void look_at(Watched& reader, DWORD event_state);
    void await_service();
    void push(CardWatchEventKind kind, const std::string& reader = {});

    const CardWatchOptions m_options;

    std::atomic<bool> m_stop{false};
    // Guards the context's handle and waiting between next() and stop().
    std::mutex mutex;
    std::condition_variable wait_ended;
    bool waiting = false;
    PcscContext context;

    // Raised once stopped; ends the wait for the service.
    util::WakeEvent wake;
    ServiceSocketWatch socket;

    bool started = false;
    bool service_lost = false;
    bool pnp_supported = true;
    DWORD pnp_state = SCARD_STATE_UNAWARE;
    std::vector<Watched> readers;
    // Every reader known, and whether the caller was last told its card is there; nothing
    // while its first look still counts as the start.
    std::map<std::string, std::optional<bool>> known;
    std::deque<CardWatchEvent> pending;
};

}  // namespace qel::card
