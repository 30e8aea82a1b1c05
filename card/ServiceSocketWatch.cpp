#include "card/ServiceSocketWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qel::card {

namespace {

std::string folder_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

ServiceSocket service_socket() {
    if (const char* name = std::getenv("PCSCLITE_CSOCK_NAME"); name != nullptr && *name != '\0')
        return {name, true};
    return {kPcscSocketPath, false};
}

std::string service_socket_path(const std::string& configured) {
    return configured.empty() ? service_socket().path : configured;
}

ServiceSocketWatch::ServiceSocketWatch(std::string socket_path)
    : m_socket_path(std::move(socket_path)) {}

void ServiceSocketWatch::arm() {
    if (!m_inotify.holds()) {
        m_inotify = util::OwnedFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        m_folder_watch = -1;
        if (!m_inotify.holds())
            return;
    }
    if (m_folder_watch >= 0)
        return;
    // The service makes its socket when it starts (IN_CREATE), may move one into place
    // (IN_MOVED_TO) or open it up by changing its mode once it listens (IN_ATTRIB). If the
    // folder itself goes, the watch goes with it and is set up again on the next round.
    m_folder_watch = ::inotify_add_watch(
        m_inotify.get(), folder_of(m_socket_path).c_str(),
        IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
}

void ServiceSocketWatch::disarm() noexcept {
    m_inotify.reset();
    m_folder_watch = -1;
}

bool ServiceSocketWatch::will_tell() const {
    return m_folder_watch >= 0 && !file_exists(m_socket_path);
}

void ServiceSocketWatch::wait(const util::WakeEvent& wake, int timeout_ms) {
    std::array<pollfd, 2> fds{};
    fds[0].fd = wake.get();
    fds[1].fd = m_inotify.get();
    const nfds_t count = m_inotify.holds() ? 2 : 1;
    if (util::poll_input(fds.data(), count, timeout_ms) > 0 && count == 2 &&
        (fds[1].revents & POLLIN) != 0)
        take_folder_events();
}

void ServiceSocketWatch::take_folder_events() {
    // Any change in the folder is reason enough to ask the service again; all that matters in
    // the events is whether the watch itself has ended.
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(m_inotify.get(), buffer, sizeof buffer);
        if (length <= 0)
            break;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event header{};
            std::memcpy(&header, buffer + offset, sizeof header);
            if ((header.mask & IN_IGNORED) != 0)
                m_folder_watch = -1;
            offset += static_cast<ssize_t>(sizeof(inotify_event) + header.len);
        }
    }
}

}  // namespace qel::card
