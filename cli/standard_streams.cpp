#include "cli/standard_streams.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "cli/process_end.h"
#include "util/Exception.h"
#include "util/OwnedFd.h"

namespace qel::app {

namespace {

// Writes all of `text` to `fd` through interruptions, waiting where the descriptor was left
// non-blocking by whoever shares it. Returns 0, or the errno of the write that failed.
int write_all(int fd, std::string_view text) {
    const BlockingCall blocking;
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, -1);
            continue;
        }
        return n < 0 ? errno : EIO;
    }
    return 0;
}

bool is_pipe_or_socket(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

}  // namespace

bool StandardOutput::write(std::string_view text) {
    if (m_error == 0)
        m_error = write_all(STDOUT_FILENO, text);
    return m_error == 0;
}

std::string StandardOutput::failure() const {
    return m_error == 0 ? std::string() : failure_text(m_error);
}

std::string StandardOutput::failure_text(int error) {
    return std::string("cannot write to standard output: ") + std::strerror(error);
}

void write_standard_error(std::string_view text) noexcept {
    (void)write_all(STDERR_FILENO, text);
}

bool sigpipe_ends_process() noexcept {
    struct sigaction action {};
    return ::sigaction(SIGPIPE, nullptr, &action) == 0 && action.sa_handler == SIG_DFL;
}

StandardOutputWatch::StandardOutputWatch(std::function<int()> reader_gone)
    : m_reader_gone(std::move(reader_gone)) {
    if (is_pipe_or_socket(STDOUT_FILENO))
        m_thread = std::thread([this] { run(); });
}

StandardOutputWatch::~StandardOutputWatch() {
    if (!m_thread.joinable())
        return;
    m_wake.raise();
    m_thread.join();
}

void StandardOutputWatch::run() {
    // No events asked for standard output: only its error and hang-up, which poll() always
    // reports, wake the wait; a pipe's writer that can write is no news.
    std::array<pollfd, 2> fds{pollfd{STDOUT_FILENO, 0, 0}, pollfd{m_wake.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if ((fds[1].revents & POLLIN) != 0)
            return;
        if ((fds[0].revents & (POLLERR | POLLHUP)) != 0)
            break;
    }
    if (sigpipe_ends_process())
        end_process_by_signal(SIGPIPE);
    end_process(m_reader_gone());
}

}  // namespace qel::app
