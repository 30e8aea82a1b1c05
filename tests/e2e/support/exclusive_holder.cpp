#include "tests/e2e/support/exclusive_holder.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace qel::e2e {

namespace {

// Both ends of a pipe, closed with the object.
class Pipe {
public:
    Pipe() {
        if (::pipe2(m_fds, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot create a pipe");
    }
    ~Pipe() {
        close_write();
        ::close(m_fds[0]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read_end() const { return m_fds[0]; }
    int write_end() const { return m_fds[1]; }
    void close_write() {
        if (m_fds[1] >= 0)
            ::close(m_fds[1]);
        m_fds[1] = -1;
    }

private:
    int m_fds[2] = {-1, -1};
};

// Reads the holder's first line; empty when it ends or stays silent past the deadline.
std::string read_line(int fd, const Deadline& deadline) {
    std::string line;
    while (!deadline.passed()) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(deadline.left().count()));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            break;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0 || c == '\n')
            break;
        line.push_back(c);
    }
    return line;
}

}  // namespace

ExclusiveHolder::ExclusiveHolder(const std::string& reader)
    : m_card(m_context, reader, SCARD_SHARE_EXCLUSIVE) {}

ExclusiveHolderProcess::ExclusiveHolderProcess(const std::string& reader,
                                               std::chrono::milliseconds timeout) {
    Pipe pipe;
    m_process = std::make_unique<ChildProcess>(
        QEL_E2E_HOLDER_PATH, std::vector<std::string>{reader, std::to_string(::getpid())},
        pipe.write_end());
    // Only the child may hold the write end now, so its end shows as end of file.
    pipe.close_write();
    const std::string line = read_line(pipe.read_end(), Deadline(timeout));
    if (line != "held") {
        const int status = m_process->stop();
        throw std::runtime_error("exclusive holder of \"" + reader + "\" failed (status " +
                                 std::to_string(status) + "): " + m_process->log());
    }
}

ExclusiveHolderProcess::~ExclusiveHolderProcess() {
    m_process->stop();
}

int ExclusiveHolderProcess::release() {
    return m_process->stop();
}

}  // namespace qel::e2e
