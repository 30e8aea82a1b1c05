#include "util/OwnedFd.h"

#include <unistd.h>

namespace qel::util {

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void OwnedFd::reset() noexcept {
    if (m_fd >= 0) {
        // The descriptor is gone whatever close() reports; there is nothing to retry.
        ::close(std::exchange(m_fd, -1));
    }
}

}  // namespace qel::util
