#include "window/window_watch.h"

#include <QMetaObject>
#include <cctype>
#include <exception>

#include "window/mfrm.h"

namespace qel::app {

WindowInsertionWatch::WindowInsertionWatch(Tfrm& window, card::CardWatchOptions options)
    : m_window(window), m_watch(std::move(options)) {
    m_thread = std::thread([this] {
        try {
            watch_insertions(m_watch, *this);
        } catch (const std::exception& e) {
            // Only what the window's queue refuses gets here; the window goes on without it.
            notice(std::string("reading on insertion has ended: ") + e.what());
        } catch (...) {
        }
    });
}

WindowInsertionWatch::~WindowInsertionWatch() {
    m_watch.stop();
    m_thread.join();
}

card::CardWatchOptions WindowInsertionWatch::present_too() {
    card::CardWatchOptions options;
    options.report_present_cards = true;
    return options;
}

void WindowInsertionWatch::inserted(const std::string&) {
    // A press reads the first dongle of all readers, whichever reader the card went into.
    Tfrm* window = &m_window;
    QMetaObject::invokeMethod(
        window, [window] { window->press_when_idle(); }, Qt::QueuedConnection);
}

void WindowInsertionWatch::notice(const std::string& text) {
    // The watch's words start small, for a prefix on a terminal; a line of the window starts
    // with a capital.
    std::string line = text;
    if (!line.empty())
        line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    Tfrm* window = &m_window;
    QMetaObject::invokeMethod(
        window, [window, line] { window->notice_when_idle(line); }, Qt::QueuedConnection);
}

}  // namespace qel::app
