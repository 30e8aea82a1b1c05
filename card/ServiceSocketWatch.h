#pragma once

// Waiting for the PC/SC service to come back without asking it over and over: pcsc-lite's
// service is reached through a socket file, and an inotify watch on its folder tells when the
// socket is made again.

#include <string>

#include "util/OwnedFd.h"
#include "util/WakeEvent.h"

namespace qel::card {

// Where pcsc-lite's service listens unless PCSCLITE_CSOCK_NAME says otherwise.
inline constexpr const char* kPcscSocketPath = "/run/pcscd/pcscd.comm";

// Where the client library looks: PCSCLITE_CSOCK_NAME when it names a socket, else
// kPcscSocketPath.
struct ServiceSocket {
    std::string path;
    bool named_by_variable = false;
};
ServiceSocket service_socket();

// `configured` when given, else service_socket()'s path.
std::string service_socket_path(const std::string& configured);

class ServiceSocketWatch {
public:
    explicit ServiceSocketWatch(std::string socket_path);

    const std::string& socket_path() const noexcept { return m_socket_path; }

    // Sets the folder's watch up unless it is; before the service is asked, so that a socket
    // made in between still ends the wait. Without inotify the watch stays unarmed.
    void arm();
    // The service is back: nothing to watch for any more.
    void disarm() noexcept;
    // Whether a wait can rely on the watch to end it: armed, and no socket there yet. A socket
    // that is there but not answering (left by a killed service) tells nothing by changing.
    bool will_tell() const;

    // Sleeps until `wake` is raised, the socket's folder changes (when armed), or `timeout_ms`
    // has passed (-1: no limit).
    void wait(const util::WakeEvent& wake, int timeout_ms);

private:
    void take_folder_events();

    const std::string m_socket_path;
    util::OwnedFd m_inotify;
    int m_folder_watch = -1;
};

}  // namespace qel::card
