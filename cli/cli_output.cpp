#include "cli/cli_output.h"

#include <mutex>

#include "cli/process_end.h"
#include "readout/outside_text.h"

namespace qel::app {

void say(const std::string& text) {
    write_standard_error("qel_sn: " + error_line(text) + "\n");
}

void CliOutput::emit(const std::string& line) {
    if (m_holding) {
        m_held.push_back(line);
        return;
    }
    {
        const std::lock_guard lock(log_line_lock());
        m_log.log(line, false);
    }
    report_log_problem();
    // A pipe to a script gets each line as it happens, not when the readout is over.
    if (m_to_stdout)
        m_out.write(terminal_line(line));
}

void CliOutput::report_log_problem() {
    std::string problem = m_log.file_problem();
    if (problem == m_said_problem)
        return;
    m_said_problem = std::move(problem);
    if (!m_said_problem.empty())
        say("log file not written: " + m_said_problem);
}

}  // namespace qel::app
