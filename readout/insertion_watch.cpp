#include "readout/insertion_watch.h"

#include <chrono>
#include <exception>
#include <optional>
#include <thread>

namespace qel::app {

namespace {

void pause_after_failure(const card::CardWatch& watch) {
    for (int i = 0; i < 20 && !watch.stopped(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace

void watch_insertions(card::CardWatch& watch, InsertionHandler& handler,
                      const std::string& reader) {
    using Kind = card::CardWatchEventKind;
    std::string last_failure;
    // Whether the outage under way began before the service was ever reached.
    bool absent_at_start = false;
    bool told_no_reader = false;
    while (!watch.stopped()) {
        std::optional<card::CardWatchEvent> event;
        try {
            event = watch.next();
        } catch (const std::exception& e) {
            if (e.what() != last_failure)
                handler.notice(e.what());
            last_failure = e.what();
            pause_after_failure(watch);
            continue;
        }
        if (!event)
            break;
        last_failure.clear();
        switch (event->kind) {
            case Kind::CardInserted:
                if (reader.empty() || event->reader == reader)
                    handler.inserted(event->reader);
                break;
            case Kind::ServiceLost:
                absent_at_start = !watch.service_seen();
                handler.notice(absent_at_start ? kServiceNotRunning : kServiceStopped);
                break;
            case Kind::ServiceBack:
                handler.notice(absent_at_start ? kServiceStarted : kServiceBack);
                break;
            case Kind::NoReader:
                if (reader.empty() && !told_no_reader)
                    handler.notice(kNoReader);
                told_no_reader = true;
                break;
            case Kind::CardRemoved:
            case Kind::ReaderAdded:
            case Kind::ReaderRemoved:
                break;
        }
    }
}

}  // namespace qel::app
