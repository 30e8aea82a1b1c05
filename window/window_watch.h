#pragma once

#include <string>
#include <thread>

#include "card/CardWatch.h"
#include "readout/insertion_watch.h"

namespace qel::app {

class Tfrm;

// Presses "Get Info" in the window each time a dongle is inserted. The watch sleeps in PC/SC on a
// thread of its own and hands each insertion, and each word about the PC/SC service, to the
// window's event queue; the window runs them as it runs a press. A dongle already inserted when
// the watch starts is read at once.
class WindowInsertionWatch final : private InsertionHandler {
public:
    // The PC/SC binding must be loaded, and `window` must outlive the watch.
    explicit WindowInsertionWatch(Tfrm& window, card::CardWatchOptions options = present_too());
    // Stops the watch and waits for its thread, which takes milliseconds.
    ~WindowInsertionWatch() override;

    WindowInsertionWatch(const WindowInsertionWatch&) = delete;
    WindowInsertionWatch& operator=(const WindowInsertionWatch&) = delete;

private:
    static card::CardWatchOptions present_too();

    void inserted(const std::string& reader) override;
    void notice(const std::string& text) override;

    Tfrm& m_window;
    card::CardWatch m_watch;
    std::thread m_thread;
};

}  // namespace qel::app
