#include "log/event_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace qel::log {

std::string executable_path() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<std::size_t>(n));
        }
        // The link may have been cut at the buffer's end; only a shorter result is certain.
        buffer.resize(buffer.size() * 2);
    }
}

t_event_file::t_event_file(const std::string& file_name, bool header) {
    // Looked at before opening, since opening creates the file.
    struct stat info {};
    if (::stat(file_name.c_str(), &info) == 0) {
        m_pending_text = m_line_end;
    }
    open(file_name);
    if (!m_pending_text.empty()) {
        write_line(m_pending_text);
    }
    if (header) {
        write_line("=== [" + time_stamp() + " " + executable_path() + "] ===");
    }
}

t_event_file::~t_event_file() {
    close();
}

bool t_event_file::open(const std::string& file_name) {
    close();
    m_file_name = file_name;
    m_open_error.clear();
    // O_APPEND puts every write at the end of the file, whatever else has grown it meanwhile.
    // O_NONBLOCK keeps the open itself from waiting on a FIFO; what was opened is checked next.
    const int fd = ::open(file_name.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        // A FIFO without a reader refuses a non-blocking writer with ENXIO; say what it is.
        struct stat info {};
        const bool special =
            errno == ENXIO && ::stat(file_name.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
        m_open_error = special ? "not a regular file" : std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        m_open_error = "not a regular file";
        return false;
    }
    // The lock stands in for "others may read, not write": a second writer is refused before
    // it can put a single byte into the file.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_open_error = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    m_fd = fd;
    return true;
}

void t_event_file::close() {
    if (m_fd >= 0) {
        // Closing also drops the lock; a failed close has nothing left to report to.
        ::close(m_fd);
        m_fd = -1;
    }
}

int t_event_file::write_line(const std::string& text) {
    return write(text + m_line_end);
}

int t_event_file::write(const std::string& text) {
    if (text.empty() || m_fd < 0 || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return 0;
    }
    // One call per line keeps the file current after every line, even if the program dies.
    ssize_t n;
    do {
        n = ::write(m_fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return 0;
    }
    m_last_write_size = static_cast<std::uint32_t>(n);
    return static_cast<std::size_t>(n) == text.size() ? static_cast<int>(n) : 0;
}

std::string t_event_file::time_stamp() {
    return time_stamp(std::time(nullptr));
}

std::string t_event_file::time_stamp(std::time_t when) {
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        return {};
    }
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
    return std::string(text, n);
}

}  // namespace qel::log
