#include "tests/soak/soak_faults.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/e2e/support/pcsc_client.h"

extern char** environ;

namespace qel::soak {

namespace {

using namespace std::chrono_literals;

constexpr auto kPollStep = 20ms;
constexpr auto kCardTimeout = 10s;
constexpr auto kDaemonStopGrace = 5s;
constexpr auto kDaemonStartTimeout = 10s;
constexpr int kReader = 0;

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

bool is_card_fault(FaultKind kind) {
    return kind == FaultKind::CardKilled || kind == FaultKind::CardStopped;
}

int fault_signal(FaultKind kind) {
    return kind == FaultKind::CardKilled || kind == FaultKind::PcscdKilled ? SIGKILL : SIGTERM;
}

// A process that is not our child has ended once /proc has no entry for it or shows a zombie
// its parent has not reaped yet.
bool foreign_process_ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return true;
    const std::size_t name_end = text.rfind(')');
    return name_end == std::string::npos || name_end + 2 >= text.size() ||
           text[name_end + 2] == 'Z';
}

}  // namespace

const char* fault_name(FaultKind kind) {
    switch (kind) {
        case FaultKind::CardKilled:
            return "card SIGKILL";
        case FaultKind::CardStopped:
            return "card SIGTERM";
        case FaultKind::PcscdKilled:
            return "pcscd SIGKILL";
        case FaultKind::PcscdStopped:
            return "pcscd SIGTERM";
    }
    return "?";
}

std::vector<FaultKind> mixed_kinds(std::mt19937_64& random, int count, FaultKind one,
                                   FaultKind other) {
    const bool one_first = std::uniform_int_distribution<int>(0, 1)(random) == 0;
    std::vector<FaultKind> kinds;
    for (int i = 0; i < count; ++i)
        kinds.push_back((i % 2 == 0) == one_first ? one : other);
    std::shuffle(kinds.begin(), kinds.end(), random);
    return kinds;
}

std::vector<PlannedFault> plan_faults(std::mt19937_64& random, int iterations,
                                      const std::vector<FaultKind>& kinds) {
    const int first = std::max(1, iterations * 5 / 100);
    const int last = std::max(first, iterations * 85 / 100 - 1);
    std::uniform_int_distribution<int> at(first, last);
    std::uniform_int_distribution<int> delay_us(0, 5000);
    std::uniform_int_distribution<int> out_ms(0, 200);
    std::vector<PlannedFault> plan;
    for (FaultKind kind : kinds) {
        PlannedFault fault;
        fault.kind = kind;
        fault.iteration = at(random);
        fault.delay_us = delay_us(random);
        fault.out_ms = out_ms(random);
        plan.push_back(fault);
    }
    std::stable_sort(plan.begin(), plan.end(), [](const PlannedFault& a, const PlannedFault& b) {
        return a.iteration < b.iteration;
    });
    return plan;
}

// --- the daemon ----------------------------------------------------------------------------

PcscDaemon::PcscDaemon(pid_t pid, std::string log_path)
    : m_log_path(std::move(log_path)), m_pid(pid) {
    std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string argument;
    while (std::getline(cmdline, argument, '\0'))
        m_command.push_back(argument);
    if (m_command.empty())
        throw std::runtime_error("cannot read the command line of pcscd " + std::to_string(pid));
}

bool PcscDaemon::ended(std::chrono::milliseconds timeout) {
    const e2e::Deadline deadline(timeout);
    for (;;) {
        if (m_own_child) {
            int status = 0;
            const pid_t rc = ::waitpid(m_pid, &status, WNOHANG);
            if (rc == m_pid || (rc < 0 && errno == ECHILD))
                return true;
        } else if (foreign_process_ended(m_pid)) {
            return true;
        }
        if (deadline.passed())
            return false;
        std::this_thread::sleep_for(kPollStep);
    }
}

void PcscDaemon::stop(int signal) {
    if (::kill(m_pid, signal) != 0 && errno != ESRCH)
        throw std::runtime_error("cannot signal pcscd " + std::to_string(m_pid) + ": " +
                                 std::strerror(errno));
    if (ended(kDaemonStopGrace))
        return;
    ::kill(m_pid, SIGKILL);
    if (!ended(kDaemonStopGrace))
        throw std::runtime_error("pcscd " + std::to_string(m_pid) + " does not end");
}

void PcscDaemon::start() {
    // The daemon's output goes where the sandbox sends its first daemon's, and this process
    // keeps no descriptor of it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string log = m_log_path.empty() ? "/dev/null" : m_log_path;
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> command = m_command;
    std::vector<char*> argv;
    for (std::string& argument : command)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + m_command.front() + ": " + std::strerror(rc));
    m_pid = pid;
    m_own_child = true;

    const e2e::Deadline deadline(kDaemonStartTimeout);
    std::string last_error = "no answer";
    while (!deadline.passed()) {
        if (ended(0ms))
            throw std::runtime_error("the new pcscd ended during start-up (see " + log + ")");
        try {
            const e2e::PcscContext context;
            const std::vector<std::string> readers = context.readers();
            if (std::find(readers.begin(), readers.end(), e2e::kReaderNames[kReader]) !=
                readers.end())
                return;
            last_error = std::to_string(readers.size()) + " readers listed";
        } catch (const e2e::PcscError& e) {
            last_error = e.what();
        }
        std::this_thread::sleep_for(kPollStep);
    }
    throw std::runtime_error("the new pcscd " + std::to_string(m_pid) + " lists no \"" +
                             e2e::kReaderNames[kReader] + "\" after 10 s: " + last_error);
}

// --- the injector --------------------------------------------------------------------------

FaultInjector::FaultInjector(std::vector<std::string> card_options, PcscDaemon* daemon)
    : m_card_options(std::move(card_options)), m_daemon(daemon) {
    m_thread = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_ready; });
    if (!m_start_error.empty()) {
        const std::string error = m_start_error;
        lock.unlock();
        m_thread.join();
        throw std::runtime_error(error);
    }
}

FaultInjector::~FaultInjector() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void FaultInjector::run() {
    // The card is started and pulled on this thread only: it asks to be ended when the thread
    // that started it ends, so that a crashed harness leaves no card in the reader.
    try {
        start_card();
    } catch (const std::exception& e) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_start_error = e.what();
        m_ready = true;
        m_changed.notify_all();
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready = true;
    m_changed.notify_all();
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || (m_plan_active && !m_plan_done); });
        if (m_stop)
            break;
        run_plan(lock);
        m_plan_done = true;
        m_changed.notify_all();
    }
    lock.unlock();
    try {
        pull_card(SIGTERM);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel_soak: %s\n", e.what());
    }
}

void FaultInjector::run_plan(std::unique_lock<std::mutex>& lock) {
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        const PlannedFault planned = m_records[i].planned;
        m_changed.wait(lock,
                       [&] { return m_stop || m_loop_ending || m_iteration >= planned.iteration; });
        if (m_stop || m_loop_ending)
            return;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(planned.delay_us));
        strike(i);
        lock.lock();
        FaultRecord& record = m_records[i];
        if (!record.restored)
            return;  // no card any more: the loop goes on failing, and the verdict says why
        const bool recovered = m_changed.wait_until(lock, m_restored_at + kRecoveryTimeout, [&] {
            return m_stop || m_loop_ending || record.recovered_iteration >= 0;
        });
        if (!recovered || record.recovered_iteration < 0)
            return;  // a readout that does not come back ends the plan: it has failed anyway
    }
}

void FaultInjector::strike(std::size_t index) {
    const std::lock_guard<std::mutex> quiet(m_quiet);
    const auto start = Clock::now();
    PlannedFault planned;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        FaultRecord& record = m_records[index];
        planned = record.planned;
        record.fired = true;
        record.fired_iteration = m_iteration;
        m_open_fault = static_cast<int>(index);
        m_awaiting_from = -1;
    }
    std::string trouble;
    try {
        if (is_card_fault(planned.kind)) {
            pull_card(fault_signal(planned.kind));
            std::this_thread::sleep_for(std::chrono::milliseconds(planned.out_ms));
        } else {
            if (m_daemon == nullptr)
                throw std::logic_error("a daemon restart was planned without a daemon");
            m_daemon->stop(fault_signal(planned.kind));
            // The card leaves by itself once vpcd's connection closes with the daemon.
            if (m_card && !m_card->wait_exit(kCardTimeout))
                m_card->stop();
            m_card.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(planned.out_ms));
            m_daemon->start();
        }
        start_card();
    } catch (const std::exception& e) {
        trouble = e.what();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    FaultRecord& record = m_records[index];
    record.trouble = trouble;
    record.restored = trouble.empty();
    record.restore_ms = ms_since(start);
    m_restored_at = Clock::now();
    // A readout under way now began while the card was away, whatever it ends in.
    m_awaiting_from = m_iteration + 1;
    record.first_try = m_awaiting_from;
}

void FaultInjector::start_card() {
    // A card that has just ended is still in the reader for pcscd until its next poll.
    wait_for_card(false);
    std::vector<std::string> args{"--port", std::to_string(e2e::kReaderPorts[kReader]), "--parent",
                                  std::to_string(::getpid())};
    args.insert(args.end(), m_card_options.begin(), m_card_options.end());
    m_card = std::make_unique<e2e::ChildProcess>(QEL_VCARD_PATH, args);
    const e2e::PcscContext context;
    if (!context.wait_for_card(e2e::kReaderNames[kReader], true, kCardTimeout,
                               [this] { return m_card->running(); })) {
        const bool ended = !m_card->running();
        m_card->stop();
        const std::string log = m_card->log();
        m_card.reset();
        throw std::runtime_error(std::string("the virtual card ") +
                                 (ended ? "ended" : "was not present after 10 s") + "; its log:\n" +
                                 log);
    }
}

void FaultInjector::pull_card(int signal) {
    if (!m_card)
        return;
    ::kill(m_card->pid(), signal);
    if (!m_card->wait_exit(kCardTimeout))
        m_card->stop();
    m_card.reset();
    wait_for_card(false);
}

void FaultInjector::wait_for_card(bool present) const {
    const e2e::PcscContext context;
    if (!context.wait_for_card(e2e::kReaderNames[kReader], present, kCardTimeout))
        throw std::runtime_error(std::string("\"") + e2e::kReaderNames[kReader] + "\" " +
                                 (present ? "shows no card" : "still holds a card") +
                                 " after 10 s");
}

void FaultInjector::begin_loop(const std::vector<PlannedFault>& plan) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_records.clear();
        for (const PlannedFault& planned : plan) {
            FaultRecord record;
            record.planned = planned;
            m_records.push_back(record);
        }
        m_iteration = -1;
        m_open_fault = -1;
        m_awaiting_from = -1;
        m_loop_ending = false;
        m_plan_done = false;
        m_plan_active = true;
    }
    m_changed.notify_all();
}

void FaultInjector::iteration_started(int iteration) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_iteration = iteration;
    }
    m_changed.notify_all();
}

void FaultInjector::iteration_ended(int iteration, Outcome outcome) {
    bool recovered = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open_fault < 0)
            return;
        FaultRecord& record = m_records[static_cast<std::size_t>(m_open_fault)];
        if (outcome != Outcome::Correct) {
            ++record.failures;
        } else if (m_awaiting_from >= 0 && iteration >= m_awaiting_from) {
            record.recovered_iteration = iteration;
            record.recovery_ms = ms_since(m_restored_at);
            m_open_fault = -1;
            recovered = true;
        }
    }
    if (recovered)
        m_changed.notify_all();
}

bool FaultInjector::loop_settled() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_plan_done;
}

std::vector<FaultRecord> FaultInjector::end_loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_loop_ending = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_plan_done; });
    m_plan_active = false;
    return std::move(m_records);
}

}  // namespace qel::soak
