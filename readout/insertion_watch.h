#pragma once

// Reading on insertion, for every front end that offers it: one readout per dongle put in, the
// PC/SC service's outages told to the user once each, until the watch is stopped.

#include <string>

#include "card/CardWatch.h"

namespace qel::app {

// What a watch tells the user when the PC/SC service goes and comes back. A service that is not
// there when the watch starts has not stopped, and has not come back when it appears.
inline constexpr const char* kServiceStopped =
    "the PC/SC service has stopped; waiting for it to come back";
inline constexpr const char* kServiceBack = "the PC/SC service is back";
inline constexpr const char* kServiceNotRunning =
    "the PC/SC service is not running; waiting for it to start";
inline constexpr const char* kServiceStarted = "the PC/SC service has started";
// A service that hangs (or accepts and never answers) is waited for as one that has stopped.
inline constexpr const char* kServiceSilent = "the PC/SC service does not answer; waiting for it";
inline constexpr const char* kServiceAnswers = "the PC/SC service answers again";
// A watch that reaches the service and finds no reader says what it waits for, once: at a station
// the dongle, a reader of its own, comes and goes all day.
inline constexpr const char* kNoReader = "no reader is attached; waiting for one";

// The front end's side of a watch. Both calls come on the thread that runs the watch.
class InsertionHandler {
public:
    virtual ~InsertionHandler() = default;
    // A card was put into `reader`: read the dongle there.
    virtual void inserted(const std::string& reader) = 0;
    // Something the user should know: the service going and coming back, or a failure of the
    // watch itself (the same failure is said once, however often it comes).
    virtual void notice(const std::string& text) = 0;
};

// Runs `watch` until it is stopped. Only insertions into `reader` count when it is not empty (and
// the front end says itself when that reader is missing). A
// failure of PC/SC other than the service going is waited out for a second, cut short by a stop.
void watch_insertions(card::CardWatch& watch, InsertionHandler& handler,
                      const std::string& reader = {});

}  // namespace qel::app
