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

namespace {

std::string last_component(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

t_event_file::t_event_file(const std::string& file_name, bool header)
    : t_event_file(AT_FDCWD, file_name, file_name, header) {}

t_event_file::t_event_file(const util::OwnedFd& folder, const std::string& file_name, bool header)
    : t_event_file(folder.get(), last_component(file_name), file_name, header) {}

t_event_file::t_event_file(int folder, const std::string& name_in_folder,
                           const std::string& file_name, bool header) {
    // Looked at before opening, since opening creates the file.
    struct stat info {};
    if (::fstatat(folder, name_in_folder.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        m_pending_text = m_line_end;
    }
    open_at(folder, name_in_folder, file_name);
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
    return open_at(AT_FDCWD, file_name, file_name);
}

bool t_event_file::open_at(int folder, const std::string& name_in_folder,
                           const std::string& file_name) {
    close();
    m_file_name = file_name;
    // O_APPEND puts every write at the end of the file, whatever else has grown it meanwhile.
    // O_NONBLOCK keeps the open itself from waiting on a FIFO; what was opened is checked next.
    // O_NOFOLLOW refuses a link at the name itself.
    util::OwnedFd fd(::openat(
        folder, name_in_folder.c_str(),
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0644));
    if (!fd.holds()) {
        // A FIFO without a reader refuses a non-blocking writer with ENXIO, a link at the name
        // gives ELOOP, a folder EISDIR; say what it is.
        const int error = errno;
        struct stat info {};
        const bool special =
            error == ELOOP || error == EISDIR ||
            (error == ENXIO && ::fstatat(folder, name_in_folder.c_str(), &info, 0) == 0 &&
             !S_ISREG(info.st_mode));
        m_failure = special ? "not a regular file" : std::strerror(error);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        m_failure = "not a regular file";
        return false;
    }
    // The lock stands in for "others may read, not write": a second writer is refused before
    // it can put a single byte into the file.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        m_failure = errno == EWOULDBLOCK ? "in use by another program" : std::strerror(errno);
        return false;
    }
    ::fcntl(fd.get(), F_SETFL, O_APPEND);
    m_fd = std::move(fd);
    m_failure.clear();
    return true;
}

void t_event_file::close() {
    // Closing also drops the lock; a failed close has nothing left to report to.
    m_fd.reset();
    m_failure.clear();
}

int t_event_file::write_line(const std::string& text) {
    return write(text + m_line_end);
}

int t_event_file::write(const std::string& text) {
    if (text.empty() || !m_fd.holds() || text.size() > static_cast<std::size_t>(INT_MAX)) {
        return 0;
    }
    // One call per line keeps the file current after every line, even if the program dies. A
    // call cut short (the disk filled up under it) is followed by another for the rest, which
    // either finishes the line or says why it cannot.
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(m_fd.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_last_write_size = static_cast<std::uint32_t>(written);
            write_failed(written, n < 0 ? errno : ENOSPC);
            return 0;
        }
        written += static_cast<std::size_t>(n);
    }
    m_last_write_size = static_cast<std::uint32_t>(written);
    return static_cast<int>(written);
}

void t_event_file::write_failed(std::size_t written, int error) {
    // A log whose last line stops in the middle reads as if the program had said something
    // else; no line at all is the truth. An appending write leaves the offset at the end of
    // what it wrote, so the line began `written` bytes before it.
    if (written > 0) {
        const off_t end = ::lseek(m_fd.get(), 0, SEEK_CUR);
        if (end < 0 || ::ftruncate(m_fd.get(), end - static_cast<off_t>(written)) != 0) {
            error = errno;
        }
    }
    m_fd.reset();
    m_failure = std::strerror(error);
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
