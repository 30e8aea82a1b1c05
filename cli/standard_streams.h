#pragma once

// The command-line program's standard streams: opened on /dev/null where they are closed, every
// write to standard output checked, and the reader of standard output watched.

#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "util/WakeEvent.h"

namespace qel::app {

// Standard output with every write checked. The first failure is kept and later writes are
// skipped, so the program can say it once, when its log has its lines. A write into a pipe
// whose reader has gone ends the process through SIGPIPE, as other tools end, unless the
// program was started with SIGPIPE ignored; then it is a failure like any other.
class StandardOutput {
public:
    // False when the text has not all gone out, now or in an earlier write.
    bool write(std::string_view text);
    bool failed() const { return m_error != 0; }
    // "cannot write to standard output: <reason>"; empty before a failure.
    std::string failure() const;
    static std::string failure_text(int error);

private:
    int m_error = 0;
};

// A line of the program's own to standard error, as it is: nothing is left to report a failure
// to. Like a write to standard output it counts as a call that may block (a full pipe).
void write_standard_error(std::string_view text) noexcept;

// Whether SIGPIPE had its default action when the program started: then a reader that goes
// ends the program by that signal, as it would other tools; otherwise it is a write failure.
bool sigpipe_ends_process() noexcept;

// Watches the reader of standard output while the program waits for something else (a watch
// for its next dongle): when a pipe's or a socket's other end is closed, the process ends as a
// write would have ended it, at once rather than at the next readout. Watches nothing when
// standard output is neither a pipe nor a socket.
class StandardOutputWatch {
public:
    // `reader_gone` runs, on the watch's thread, when the reader has gone and SIGPIPE does not
    // end the process: it says so and returns the status the process ends with.
    explicit StandardOutputWatch(std::function<int()> reader_gone);
    ~StandardOutputWatch();

    StandardOutputWatch(const StandardOutputWatch&) = delete;
    StandardOutputWatch& operator=(const StandardOutputWatch&) = delete;

private:
    void run();

    const std::function<int()> m_reader_gone;
    util::WakeEvent m_wake;
    std::thread m_thread;
};

}  // namespace qel::app
