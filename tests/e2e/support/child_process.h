#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qel::e2e {

// A helper program started for a test. Its stderr goes to an unlinked temporary file that log()
// reads back for failure messages. It gets SIGTERM, and after a grace period SIGKILL, when it
// is stopped or destroyed, and it is always reaped.
class ChildProcess {
public:
    // As `stdout_fd`: the child starts with descriptor 1 closed, which is not /dev/null (the next
    // file it opens takes the number).
    static constexpr int kClosed = -2;

    // Starts `path` with `args`. With `stdout_fd` >= 0 the child's stdout is that descriptor
    // (the parent keeps its own copy); otherwise stdout shares the log. With `stdin_fd` >= 0 the
    // child reads that descriptor, otherwise /dev/null. Throws std::runtime_error when the
    // program cannot be started.
    ChildProcess(const std::string& path, const std::vector<std::string>& args, int stdout_fd = -1,
                 int stdin_fd = -1);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // True until the program has ended (reaping it when it has).
    bool running();

    // Waits for the program to end by itself: its exit code, 128 + the signal number when a
    // signal ended it, or nothing on timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL after `grace`; returns the status as wait_exit does.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    // What the program has written to stderr so far.
    std::string log() const;

private:
    pid_t m_pid = -1;
    int m_log_fd = -1;
    std::optional<int> m_status;
};

// Milliseconds from now on a steady clock, for bounded waits.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout)
        : m_end(std::chrono::steady_clock::now() + timeout) {}
    bool passed() const { return std::chrono::steady_clock::now() >= m_end; }
    std::chrono::milliseconds left() const;

private:
    std::chrono::steady_clock::time_point m_end;
};

}  // namespace qel::e2e
