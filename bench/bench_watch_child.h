#pragma once

// A program under measurement, started as a child whose standard output is a pipe read on a
// thread of its own: every line is timed the moment it arrives, while the caller is busy
// elsewhere (putting a card in, waiting for the reader to show it), and the end of the output
// marks the end of the program without waiting for it to be reaped.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/child_process.h"

namespace qel::bench {

using Clock = std::chrono::steady_clock;

struct TimedLine {
    std::string text;  // without its line end
    Clock::time_point at;
};

class TappedChild {
public:
    // Starts `path` with `args`; standard error goes to the child's log. Throws
    // std::runtime_error when the pipe or the program cannot be made.
    TappedChild(const std::string& path, const std::vector<std::string>& args);
    // Stops the program if it still runs and waits for its output to end.
    ~TappedChild();

    TappedChild(const TappedChild&) = delete;
    TappedChild& operator=(const TappedChild&) = delete;

    // The lines not yet taken, up to and including the first one that equals `last`, once that
    // one has arrived; nothing when it has not within `timeout`.
    std::optional<std::vector<TimedLine>> take_through(const std::string& last,
                                                       std::chrono::milliseconds timeout);

    // When the output ended (the program closed it, which it does when it ends); nothing when
    // it has not within `timeout`.
    std::optional<Clock::time_point> wait_for_end(std::chrono::milliseconds timeout);

    // Whatever arrived and was not taken, an unfinished line included.
    std::string untaken() const;

    bool running() { return m_process->running(); }
    // The exit status once the program has ended by itself; see e2e::ChildProcess.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
        return m_process->wait_exit(timeout);
    }
    // SIGTERM, then SIGKILL after a grace period; the exit status.
    int stop() { return m_process->stop(); }
    std::string log() const { return m_process->log(); }

private:
    void read_output();

    int m_output = -1;
    std::unique_ptr<e2e::ChildProcess> m_process;
    std::thread m_reader;

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<TimedLine> m_lines;
    std::string m_partial;
    std::optional<Clock::time_point> m_end;
};

}  // namespace qel::bench
