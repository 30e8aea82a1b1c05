#include "util/StandardStreams.h"

#include <fcntl.h>

#include <cerrno>

#include "util/OwnedFd.h"

namespace qel::util {

void open_closed_standard_streams() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is the one that is closed: that one is kept for the process's
        // life, any other closed again.
        OwnedFd opened(::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY));
        if (opened.get() == fd)
            opened.release();
    }
}

}  // namespace qel::util
