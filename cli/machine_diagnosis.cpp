#include "cli/machine_diagnosis.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "card/WinSCard.h"
#include "cli/cli_output.h"
#include "cli/diagnosis.h"
#include "cli/process_end.h"
#include "cli/readout_deadline.h"
#include "cli/standard_streams.h"
#include "cli/stop_signals.h"
#include "log/log_place.h"
#include "readout/exit_status.h"

namespace qel::app {

namespace {

// The report of --diagnose on standard output: status 1 when a check failed. The text comes a
// check at a time, as each is made; the JSON object once all are. Each check may take
// --timeout: one that gets no answer from the service or a card fails, and the process ends
// with the report of what was made, since the call under way cannot be cancelled.
class MachineDiagnosis {
public:
    explicit MachineDiagnosis(const CliOptions& options)
        : m_options(options),
          m_deadline([this](StuckCall stuck) { return unanswered(stuck); }, kTimeUpSignal) {
        card::set_card_waiter(&m_deadline);
    }
    ~MachineDiagnosis() { card::set_card_waiter(nullptr); }

    MachineDiagnosis(const MachineDiagnosis&) = delete;
    MachineDiagnosis& operator=(const MachineDiagnosis&) = delete;

    int run() {
        const Diagnosis diagnosis = diagnose(
            log::executable_path(), log::program_log_place(),
            [this](const Check& check) {
                m_deadline.disarm();
                m_made.checks.push_back(check);
                show(check);
            },
            [this](const std::string& name) {
                m_running = name;
                if (m_options.timeout_seconds > 0)
                    m_deadline.arm(std::chrono::seconds(m_options.timeout_seconds));
            });
        m_made.dongle = diagnosis.dongle;
        card::UnloadWinSCard();
        return end();
    }

    // For the signal thread: a check's time may be up.
    void time_up() noexcept { m_deadline.time_up(); }

private:
    void show(const Check& check) {
        if (!m_options.json)
            m_out.write(check_text(check));
    }

    int end() {
        if (m_options.json)
            m_out.write(diagnosis_json(m_made));
        if (m_out.failed()) {
            say(m_out.failure());
            return kExitOutput;
        }
        return m_made.failed() ? 1 : kExitRead;
    }

    // On the signal thread, while the check's call is stuck on the main one: the checks made
    // before it are in m_made.checks (handed over through the deadline's lock).
    int unanswered(StuckCall stuck) {
        const auto what = stuck == StuckCall::Service ? Unanswered::Service : Unanswered::Dongle;
        std::vector<Check> rest{unanswered_check(m_running, what, m_options.timeout_seconds)};
        const std::vector<std::string>& names = diagnosis_check_names();
        for (auto it = std::find(names.begin(), names.end(), m_running);
             it != names.end() && ++it != names.end();)
            rest.push_back(not_run_check(*it, m_running));
        for (Check& check : rest) {
            show(check);
            m_made.checks.push_back(std::move(check));
        }
        return end();
    }

    const CliOptions& m_options;
    StandardOutput m_out;
    Diagnosis m_made;
    std::string m_running;
    ReadoutDeadline m_deadline;
};

}  // namespace

int diagnose_machine(const CliOptions& options) {
    MachineDiagnosis diagnosis(options);
    // A stop ends the report where it is, as any program ends; the end of a check's time goes
    // to the diagnosis.
    const StopSignals signals(
        [&diagnosis](int signal) {
            if (signal == kTimeUpSignal)
                diagnosis.time_up();
            else
                end_process_by_signal(signal);
        },
        kTakenSignals);
    return diagnosis.run();
}

}  // namespace qel::app
