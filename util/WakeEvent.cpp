#include "util/WakeEvent.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "util/Exception.h"

namespace qel::util {

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd.holds())
        throw Exception(std::string("Cannot create an event descriptor: ") + std::strerror(errno));
}

void WakeEvent::raise() const noexcept {
    const std::uint64_t one = 1;
    // The only failure left is a counter already too full to add to, which is readable anyway.
    if (::write(m_fd.get(), &one, sizeof one) < 0)
        return;
}

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

}  // namespace qel::util
