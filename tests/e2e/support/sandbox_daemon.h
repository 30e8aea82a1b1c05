#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qel::e2e {

// The sandbox's pcscd, stopped and started again with its own command line, for tests of what
// survives the service going away. Only a daemon that runs on the sandbox's configuration is
// touched; the one started here stays for the tests after.
class SandboxDaemon {
public:
    // Throws std::runtime_error when no pcscd of the sandbox runs.
    SandboxDaemon();

    // Returns once the daemon is gone; throws std::runtime_error when it does not end.
    void stop();
    // Returns once the new daemon lists the first virtual reader; throws std::runtime_error when
    // it cannot be started or lists none.
    void start();
    // Starts it on an empty reader configuration: a service that answers and lists no reader.
    // Returns once it answers.
    void start_without_readers();
    void restart() {
        stop();
        start();
    }
    // A service that hangs: the daemon stopped by SIGSTOP, its socket still there and taking
    // connections; SIGCONT lets it go on.
    void freeze();
    void thaw();

private:
    void spawn(std::vector<std::string> command);

    pid_t m_pid = -1;
    std::vector<std::string> m_command;
};

}  // namespace qel::e2e
