#pragma once

// Waking a thread that sleeps in poll(): the watch's wait for the PC/SC service, the signal
// thread, the watcher of standard output. Another thread raises the event, and the sleeper's
// poll() returns.

#include <poll.h>

#include "util/OwnedFd.h"

namespace qel::util {

// An eventfd that stays readable once raised. Move-only, through its descriptor's owner.
class WakeEvent {
public:
    // Raises util::Exception when the process is out of file descriptors.
    WakeEvent();

    // Safe from any thread and in a signal's aftermath; raising twice is raising once.
    void raise() const noexcept;
    int get() const noexcept { return m_fd.get(); }

private:
    OwnedFd m_fd;
};

// Waits on `fds` for input, as poll() does, through interruptions; the result is poll()'s.
int poll_input(pollfd* fds, nfds_t count, int timeout_ms);

}  // namespace qel::util
