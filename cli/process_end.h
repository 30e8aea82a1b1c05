#pragma once

// Ending the process from whichever thread has to. A command-line program's main thread can be
// stuck in a call that nobody can interrupt: a command to a dongle that stopped answering, a
// write into a pipe that nobody reads. Another thread (the one that takes the stop signals, the
// one that keeps a readout's time) then ends the process for it, without cutting a log line.

#include <functional>
#include <mutex>

namespace qel::app {

// The lock every line of the program's log file is written under: a thread that ends the
// process waits for a line under way, so the file never ends in the middle of one.
std::timed_mutex& log_line_lock() noexcept;

// Ends the process with `status` once no log line is being written (waiting a bounded time for
// one under way), without destructors or exit handlers: the thread that ends it does not own
// what the others hold, and the PC/SC service releases the card and the context of a client
// that has gone.
[[noreturn]] void end_process(int status) noexcept;

// The same, but the process ends by `signal` with the signal's default action, so that the
// shell or script that started it sees it stopped by that signal.
[[noreturn]] void end_process_by_signal(int signal) noexcept;

// What must be done before the process ends, whichever thread ends it and however: the
// journal's waiting entries given their chance, and what is lost said. Runs at most once, before
// the end; `words` must not raise. Empty: nothing. Whoever sets it empties it again before what
// it uses goes (waiting for a run under way).
void set_last_words(std::function<void()> words);

// A stop asked for by another thread (a stop signal), and the status the process then ends
// with. The main thread looks at stop_requested() where it can act on it; while it is inside a
// BlockingCall it cannot, and the request ends the process at once.
void request_stop(int status) noexcept;
bool stop_requested() noexcept;

// The calling thread is inside a call that may never return by itself. A stop requested during
// it ends the process at once; one requested before it ends the process as the call begins.
// While another thread is ending the process, a call goes on: its last words may need one.
class BlockingCall {
public:
    BlockingCall() noexcept;
    ~BlockingCall();

    BlockingCall(const BlockingCall&) = delete;
    BlockingCall& operator=(const BlockingCall&) = delete;
};

}  // namespace qel::app
