#pragma once

// Where qel_sn's words go: its own lines to standard error, the window's lines to the log file
// and (unless JSON or the journal stands in for them) to standard output.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "cli/standard_streams.h"
#include "log/event_log.h"
#include "readout/readout.h"

namespace qel::app {

// "qel_sn: TEXT" on standard error, escaped as one line.
void say(const std::string& text);

// The window's lines: to the log file, and to standard output unless JSON stands in for them.
// While held, lines wait until the readout's outcome says whether they are wanted at all.
class CliOutput : public ReadoutOutput {
public:
    CliOutput(log::t_event_log& log, StandardOutput& out, bool to_stdout)
        : m_log(log), m_out(out), m_to_stdout(to_stdout) {
        report_log_problem();
    }

    void add(const std::string& line) override { emit(line); }
    void add_status(const std::string& line) override { emit(line); }
    void pause(std::chrono::milliseconds time) override {
        if (on_pause)
            on_pause(time);
    }

    // How the program waits between two tries of a held card.
    std::function<void(std::chrono::milliseconds)> on_pause;

    void hold() { m_holding = true; }
    bool holding() const { return m_holding; }
    void release() {
        m_holding = false;
        for (const std::string& line : m_held)
            emit(line);
        m_held.clear();
    }
    void drop() {
        m_holding = false;
        m_held.clear();
    }

private:
    void emit(const std::string& line);
    // Once for each reason the log stops writing: at start, or at the write that failed.
    void report_log_problem();

    log::t_event_log& m_log;
    StandardOutput& m_out;
    const bool m_to_stdout;
    bool m_holding = false;
    std::vector<std::string> m_held;
    std::string m_said_problem;
};

}  // namespace qel::app
