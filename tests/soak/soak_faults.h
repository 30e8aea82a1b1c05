#pragma once

// The faults of the soak: the virtual card killed (SIGKILL) or stopped (SIGTERM) and put back,
// and the PC/SC daemon killed or stopped and started again, at moments planned from a seeded
// generator. A thread of their own carries them out while the readouts go on, and follows each
// fault until a readout started after the card came back has succeeded.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/support/child_process.h"
#include "tests/soak/soak_judge.h"

namespace qel::soak {

enum class FaultKind { CardKilled, CardStopped, PcscdKilled, PcscdStopped };

const char* fault_name(FaultKind kind);

struct PlannedFault {
    FaultKind kind = FaultKind::CardKilled;
    int iteration = 0;  // strikes once this iteration has started ...
    int delay_us = 0;   // ... and this long after, so it may land in the middle of it
    int out_ms = 0;     // the card stays out of its reader this long before it comes back
};

// `count` faults, as many of the one kind as of the other (the odd one drawn), in random order.
std::vector<FaultKind> mixed_kinds(std::mt19937_64& random, int count, FaultKind one,
                                   FaultKind other);

// One fault of each of `kinds` at an iteration drawn between 5 % and 85 % of `iterations`, so
// that the readouts after the last one can show it recovered. Sorted by iteration.
std::vector<PlannedFault> plan_faults(std::mt19937_64& random, int iterations,
                                      const std::vector<FaultKind>& kinds);

struct FaultRecord {
    PlannedFault planned;
    bool fired = false;
    int fired_iteration = -1;  // the iteration under way when it struck
    bool restored = false;     // the card back in the daemon's view
    std::string trouble;       // why the card could not be brought back
    double restore_ms = 0;     // from the fault until the card was back
    int first_try = -1;        // the first iteration started after the card was back
    int recovered_iteration = -1;
    double recovery_ms = 0;  // from the card back until that readout had succeeded
    int failures = 0;        // readouts that failed between the fault and the recovery

    int tries() const { return recovered_iteration < 0 ? -1 : recovered_iteration - first_try + 1; }
};

// The sandbox's daemon at first, then the one started in its place with the same command line.
// A daemon started here is left running at the end, for whatever runs next in the sandbox.
class PcscDaemon {
public:
    // Reads the command line of the running daemon `pid`; its successors write to `log_path`.
    PcscDaemon(pid_t pid, std::string log_path);  // throws std::runtime_error

    PcscDaemon(const PcscDaemon&) = delete;
    PcscDaemon& operator=(const PcscDaemon&) = delete;

    pid_t pid() const { return m_pid; }

    // Sends `signal` and waits until the daemon is gone (SIGKILL after 5 s).
    void stop(int signal);
    // Starts a new daemon and returns once it lists the virtual readers. Throws
    // std::runtime_error when it does not within 10 s.
    void start();

private:
    bool ended(std::chrono::milliseconds timeout);

    std::vector<std::string> m_command;
    std::string m_log_path;
    pid_t m_pid;
    bool m_own_child = false;
};

class FaultInjector {
public:
    // Starts the thread, which puts a card with `card_options` into reader 0; returns once
    // the daemon sees it. `daemon` may be null when no plan restarts it. Throws
    // std::runtime_error when the card does not come.
    FaultInjector(std::vector<std::string> card_options, PcscDaemon* daemon);
    // Pulls the card and ends the thread.
    ~FaultInjector();

    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    // A loop of readouts begins; its faults strike as planned.
    void begin_loop(const std::vector<PlannedFault>& plan);
    void iteration_started(int iteration);
    void iteration_ended(int iteration, Outcome outcome);
    // Every planned fault has struck and been followed to its recovery, or given up on.
    bool loop_settled();
    // Strikes no more and returns what each planned fault did.
    std::vector<FaultRecord> end_loop();

    // Held by the loop while it samples the process: no fault is under way meanwhile, so the
    // harness's own descriptors (card, daemon log, contexts) are the same at every sample.
    std::unique_lock<std::mutex> hold_off() { return std::unique_lock<std::mutex>(m_quiet); }

    // How long a readout may take to succeed again once the card is back, in readouts and time.
    static constexpr int kMaxTries = 5;
    static constexpr std::chrono::seconds kRecoveryTimeout{10};

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void run_plan(std::unique_lock<std::mutex>& lock);
    void strike(std::size_t index);
    void start_card();
    void pull_card(int signal);
    void wait_for_card(bool present) const;

    const std::vector<std::string> m_card_options;
    PcscDaemon* const m_daemon;
    std::unique_ptr<e2e::ChildProcess> m_card;  // the injector thread's alone

    std::mutex m_quiet;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ready = false;
    std::string m_start_error;
    bool m_stop = false;
    bool m_plan_active = false;
    bool m_plan_done = true;
    bool m_loop_ending = false;
    std::vector<FaultRecord> m_records;
    int m_iteration = -1;
    int m_open_fault = -1;     // struck and not yet recovered from
    int m_awaiting_from = -1;  // a correct readout from this iteration on is the recovery
    Clock::time_point m_restored_at;

    std::thread m_thread;
};

}  // namespace qel::soak
