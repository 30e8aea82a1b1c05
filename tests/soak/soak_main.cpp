// Long runs and faults: thousands of dongle readouts and presses of "Get Info" in one process,
// first on an undisturbed card, then while the card is killed and put back and the PC/SC daemon
// is restarted at random moments. Watches the process's open descriptors and resident memory,
// and judges every readout: the card's values exactly, or a failure that says why, and after
// every fault a readout that succeeds again.
//
//   tools/pcsc-sandbox.sh -- build-test/tests/soak/qel_soak [options]
//
// Phase A: --readouts readouts without the window, then --presses presses in the offscreen
// window, nothing disturbed. Phase B: the same two loops with --faults card faults (SIGKILL and
// SIGTERM) and --pcscd-restarts daemon restarts among them. Exit status 0 when every verdict
// holds, 1 when one fails, 2 on a usage error or outside the sandbox, 3 when a readout hangs.
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/bench_temp_dir.h"
#include "bench/bench_workflow_ours.h"
#include "card/WinSCard.h"
#include "tests/soak/soak_faults.h"
#include "tests/soak/soak_judge.h"
#include "tests/soak/soak_probe.h"
#include "window/mfrm.h"

namespace {

using namespace qel::soak;
using Clock = std::chrono::steady_clock;

// The card's values are given, not left to its defaults, so that every readout can be checked.
const std::vector<std::string> kCardValues{"--serial", "0A1B2C3D4E5F6071", "--firmware",
                                           "010A",     "--error-code",     "002A"};
const DongleReadout kExpected{"0A1B2C3D", 0x010A, 0x002A};

constexpr long kGrowthLimitKib = 1024;

// AddressSanitizer keeps freed memory in a quarantine of its own, so a sanitized build grows by
// megabytes without a leak; its leak check at exit stands in for the memory verdict there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryJudged = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryJudged = false;
#else
constexpr bool kMemoryJudged = true;
#endif
#else
constexpr bool kMemoryJudged = true;
#endif
constexpr int kExamplesShown = 5;

struct Options {
    int readouts = 3000;
    int presses = 1000;
    int faults = 40;
    int pcscd_restarts = 2;
    int sample_every = 250;
    int retry_pause_ms = 25;
    int hang_timeout_s = 60;
    bool phase_a = true;
    bool phase_b = true;
    bool t1 = false;
    std::optional<std::uint64_t> seed;
};

void usage(const char* program) {
    std::fprintf(
        stderr,
        "usage: %s [--readouts N] [--presses N] [--faults N] [--pcscd-restarts N] [--seed N]\n"
        "          [--sample-every N] [--retry-pause-ms N] [--hang-timeout-s N]\n"
        "          [--phase a|b|both] [--protocol t0|t1]\n"
        "  --readouts N        readouts without the window in each phase (default 3000)\n"
        "  --presses N         presses of \"Get Info\" in each phase (default 1000)\n"
        "  --faults N          card faults in phase B, shared between its two loops by their\n"
        "                      lengths (default 40)\n"
        "  --pcscd-restarts N  daemon restarts in phase B, the first among the readouts, the\n"
        "                      second among the presses (default 2)\n"
        "  --seed N            the seed of the fault plan (default: a random one, printed)\n"
        "  --sample-every N    descriptors and memory every N iterations (default 250); the\n"
        "                      first N iterations are the warm-up\n"
        "  --retry-pause-ms N  pause after a failed readout, as a user would before trying\n"
        "                      again (default 25)\n"
        "  --hang-timeout-s N  a readout that takes longer ends the run (default 60)\n"
        "Runs inside tools/pcsc-sandbox.sh, against the virtual card.\n",
        program);
}

std::optional<std::uint64_t> number_argument(const char* text, std::uint64_t minimum,
                                             std::uint64_t maximum) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || value < minimum ||
        value > maximum)
        return std::nullopt;
    return value;
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const char* value = argv[++i];
        if (option == "--phase") {
            const std::string phase = value;
            if (phase != "a" && phase != "b" && phase != "both")
                return std::nullopt;
            options.phase_a = phase != "b";
            options.phase_b = phase != "a";
            continue;
        }
        if (option == "--protocol") {
            const std::string protocol = value;
            if (protocol != "t0" && protocol != "t1")
                return std::nullopt;
            options.t1 = protocol == "t1";
            continue;
        }
        if (option == "--seed") {
            options.seed = number_argument(value, 0, UINT64_MAX);
            if (!options.seed)
                return std::nullopt;
            continue;
        }
        struct Count {
            const char* name;
            int* target;
            int minimum;
        };
        const Count counts[] = {
            {"--readouts", &options.readouts, 1},
            {"--presses", &options.presses, 0},
            {"--faults", &options.faults, 0},
            {"--pcscd-restarts", &options.pcscd_restarts, 0},
            {"--sample-every", &options.sample_every, 1},
            {"--retry-pause-ms", &options.retry_pause_ms, 0},
            {"--hang-timeout-s", &options.hang_timeout_s, 1},
        };
        bool known = false;
        for (const Count& count : counts) {
            if (option != count.name)
                continue;
            const auto number =
                number_argument(value, static_cast<std::uint64_t>(count.minimum), 10000000);
            if (!number)
                return std::nullopt;
            *count.target = static_cast<int>(*number);
            known = true;
        }
        if (!known)
            return std::nullopt;
    }
    return options;
}

// Ends the process when an iteration does not come back: a hang is a verdict of its own, and
// the loop that hangs cannot deliver it.
class Watchdog {
public:
    explicit Watchdog(int timeout_s) : m_timeout(timeout_s) {
        m_thread = std::thread([this] { watch(); });
    }
    ~Watchdog() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void iteration(const char* loop, int iteration) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_loop = loop;
        m_iteration = iteration;
        m_since = Clock::now();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_changed.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; })) {
            if (m_loop == nullptr || Clock::now() - m_since < m_timeout)
                continue;
            std::printf("\nHANG: %s, iteration %d has not come back after %lld s\n", m_loop,
                        m_iteration, static_cast<long long>(m_timeout.count()));
            std::fflush(nullptr);
            std::_Exit(3);
        }
    }

    const std::chrono::seconds m_timeout;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    const char* m_loop = nullptr;
    int m_iteration = 0;
    Clock::time_point m_since;
    std::thread m_thread;
};

struct LoopResult {
    std::string title;
    int planned = 0;
    int iterations = 0;
    int counts[3] = {0, 0, 0};  // by Outcome
    std::vector<Sample> samples;
    std::vector<std::string> wrong;            // the first few, with their iteration
    std::map<std::string, int> failure_texts;  // distinct texts and how often
    std::vector<FaultRecord> faults;
    double seconds = 0;

    int count(Outcome outcome) const { return counts[static_cast<int>(outcome)]; }
};

Sample take_sample(FaultInjector& injector, int iteration) {
    const auto quiet = injector.hold_off();
    return Sample{iteration, open_descriptor_count(), resident_kib()};
}

void print_sample(const Sample& s) {
    std::printf("    sample  iteration %6d   fds %4d   RSS %8ld KiB\n", s.iteration, s.descriptors,
                s.resident_kib);
    std::fflush(stdout);
}

LoopResult run_loop(const std::string& title, int planned, const std::function<Judgement()>& step,
                    const std::vector<PlannedFault>& plan, const Options& options,
                    FaultInjector& injector, Watchdog& watchdog) {
    LoopResult result;
    result.title = title;
    result.planned = planned;
    std::printf("\n%s: %d iterations, %zu faults planned\n", title.c_str(), planned, plan.size());
    const auto start = Clock::now();
    injector.begin_loop(plan);
    result.samples.push_back(take_sample(injector, 0));
    print_sample(result.samples.back());

    // Past the planned count only to see the last fault through; the injector gives up on a
    // fault within bounded time, so this ends.
    int i = 0;
    for (; i < planned || !injector.loop_settled(); ++i) {
        watchdog.iteration(title.c_str(), i);
        injector.iteration_started(i);
        const Judgement judgement = step();
        injector.iteration_ended(i, judgement.outcome);
        ++result.counts[static_cast<int>(judgement.outcome)];
        if (judgement.outcome == Outcome::Wrong &&
            result.wrong.size() < static_cast<std::size_t>(kExamplesShown))
            result.wrong.push_back("iteration " + std::to_string(i) + ": " + judgement.text);
        if (judgement.outcome == Outcome::FailedWithText)
            ++result.failure_texts[judgement.text];
        if (judgement.outcome != Outcome::Correct && options.retry_pause_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.retry_pause_ms));
        if ((i + 1) % options.sample_every == 0 && i + 1 <= planned) {
            result.samples.push_back(take_sample(injector, i + 1));
            print_sample(result.samples.back());
        }
    }
    watchdog.iteration(nullptr, 0);
    result.faults = injector.end_loop();
    if (result.samples.back().iteration != i) {
        result.samples.push_back(take_sample(injector, i));
        print_sample(result.samples.back());
    }
    result.iterations = i;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

// Failure texts run over several lines (call, code, meaning); one line each keeps the table
// readable.
std::string one_line(const std::string& text) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' || text[i] == '\r')
            line += " | ";
        else
            line += text[i];
    }
    return line;
}

void print_faults(const LoopResult& loop) {
    for (std::size_t i = 0; i < loop.faults.size(); ++i) {
        const FaultRecord& f = loop.faults[i];
        std::printf("    fault %2zu  %-13s planned at %5d +%4d us, out %3d ms: ", i + 1,
                    fault_name(f.planned.kind), f.planned.iteration, f.planned.delay_us,
                    f.planned.out_ms);
        if (!f.fired) {
            std::printf("NOT FIRED\n");
            continue;
        }
        std::printf("struck in %d, ", f.fired_iteration);
        if (!f.restored) {
            std::printf("card NOT BACK: %s\n", one_line(f.trouble).c_str());
            continue;
        }
        std::printf("card back after %.0f ms, %d failed; ", f.restore_ms, f.failures);
        if (f.recovered_iteration < 0)
            std::printf("NO SUCCESS from iteration %d on\n", f.first_try);
        else
            std::printf("success in %d (try %d, %.0f ms after the card was back)\n",
                        f.recovered_iteration, f.tries(), f.recovery_ms);
    }
}

void print_loop(const LoopResult& loop) {
    std::printf("  %s: %d iterations", loop.title.c_str(), loop.iterations);
    if (loop.iterations > loop.planned)
        std::printf(" (%d past the plan, to see the last fault through)",
                    loop.iterations - loop.planned);
    std::printf(" in %.1f s: %d correct, %d failed with a text, %d wrong\n", loop.seconds,
                loop.count(Outcome::Correct), loop.count(Outcome::FailedWithText),
                loop.count(Outcome::Wrong));
    for (const std::string& wrong : loop.wrong)
        std::printf("    WRONG %s\n", one_line(wrong).c_str());
    for (const auto& [text, count] : loop.failure_texts)
        std::printf("    %5d x failed: %s\n", count, one_line(text).c_str());
    print_faults(loop);
}

const char* yes_no(bool value) {
    return value ? "yes" : "NO";
}

// Prints the verdicts of a phase's loops; true when all of them hold.
bool judge_phase(const char* phase, const std::vector<LoopResult>& loops, int warmup,
                 bool faults_expected) {
    std::printf("\n%s verdict\n", phase);
    bool pass = true;
    for (const LoopResult& loop : loops) {
        const ResourceVerdict resources = judge_resources(loop.samples, warmup, kGrowthLimitKib);
        if (!resources.judged) {
            std::printf(
                "  %s: too few samples after the warm-up of %d to judge (lower "
                "--sample-every): NO\n",
                loop.title.c_str(), warmup);
            pass = false;
            continue;
        }
        std::printf("  %s: descriptors constant from iteration %d on (%d..%d): %s\n",
                    loop.title.c_str(), resources.baseline_iteration, resources.descriptors_min,
                    resources.descriptors_max, yes_no(resources.descriptors_constant));
        const bool memory_ok = resources.memory_steady || !kMemoryJudged;
        std::printf(
            "  %s: resident memory grew %ld KiB after the warm-up (from %ld KiB), "
            "less than %ld KiB: %s\n",
            loop.title.c_str(), resources.resident_growth_kib, resources.resident_baseline_kib,
            kGrowthLimitKib,
            kMemoryJudged
                ? yes_no(resources.memory_steady)
                : "not judged under AddressSanitizer (its quarantine holds freed memory)");
        const bool outcomes_ok = loop.count(Outcome::Wrong) == 0 &&
                                 (faults_expected || loop.count(Outcome::FailedWithText) == 0);
        std::printf("  %s: every readout %s: %s (%d correct, %d failed with a text, %d wrong)\n",
                    loop.title.c_str(),
                    faults_expected ? "correct or failed with a text" : "correct",
                    yes_no(outcomes_ok), loop.count(Outcome::Correct),
                    loop.count(Outcome::FailedWithText), loop.count(Outcome::Wrong));
        bool recovered = true;
        int max_tries = 0;
        double max_recovery_ms = 0;
        for (const FaultRecord& f : loop.faults) {
            recovered = recovered && f.fired && f.restored && f.recovered_iteration >= 0 &&
                        f.tries() <= FaultInjector::kMaxTries;
            max_tries = std::max(max_tries, f.tries());
            max_recovery_ms = std::max(max_recovery_ms, f.recovery_ms);
        }
        if (!loop.faults.empty())
            std::printf(
                "  %s: each of %zu faults followed by a success within %d tries and "
                "%lld s of the card's return: %s (at most %d tries, %.0f ms)\n",
                loop.title.c_str(), loop.faults.size(), FaultInjector::kMaxTries,
                static_cast<long long>(FaultInjector::kRecoveryTimeout.count()), yes_no(recovered),
                max_tries, max_recovery_ms);
        pass = pass && resources.descriptors_constant && memory_ok && outcomes_ok && recovered;
    }
    std::printf("%s: %s\n", phase, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
    return pass;
}

// A phase's two loops: readouts without the window, then presses in a window of its own.
std::vector<LoopResult> run_phase(const char* phase, const Options& options,
                                  const std::vector<PlannedFault>& readout_plan,
                                  const std::vector<PlannedFault>& press_plan,
                                  FaultInjector& injector, Watchdog& watchdog,
                                  const std::filesystem::path& log_dir) {
    std::vector<LoopResult> loops;
    loops.push_back(run_loop(
        std::string(phase) + " readouts", options.readouts,
        [] { return judge_readout(&qel::bench::ours_readout, kExpected); }, readout_plan, options,
        injector, watchdog));
    print_loop(loops.back());
    if (options.presses == 0)
        return loops;

    qel::app::Tfrm frm((log_dir / "qel_soak.log").string());
    std::vector<std::string> reports;
    frm.error_report = [&reports](const std::string& text) { reports.push_back(text); };
    frm.show();
    QApplication::processEvents();
    const auto press = [&] {
        reports.clear();
        frm.btnProcess->click();
        PressResult result{frm.msg->text(), frm.st->panel_text(0), reports,
                           frm.btnProcess->isEnabled()};
        // What the event loop would do between two presses of a user.
        QApplication::processEvents();
        return judge_press(result, kExpected);
    };
    loops.push_back(run_loop(std::string(phase) + " presses", options.presses, press, press_plan,
                             options, injector, watchdog));
    print_loop(loops.back());
    return loops;
}

// The sandbox's daemon, or the one an earlier run in the same sandbox started in its place: that
// one is found through the pid file every pcscd writes.
std::optional<pid_t> running_daemon() {
    const auto alive = [](std::optional<std::uint64_t> pid) -> std::optional<pid_t> {
        if (!pid || ::kill(static_cast<pid_t>(*pid), 0) != 0)
            return std::nullopt;
        return static_cast<pid_t>(*pid);
    };
    const char* sandbox_pid = std::getenv("QEL_SANDBOX_PCSCD_PID");
    if (sandbox_pid != nullptr) {
        if (const auto pid = alive(number_argument(sandbox_pid, 1, 0x7FFFFFFF)))
            return pid;
    }
    std::ifstream pid_file("/run/pcscd/pcscd.pid");
    std::string text;
    if (!std::getline(pid_file, text))
        return std::nullopt;
    return alive(number_argument(text.c_str(), 1, 0x7FFFFFFF));
}

int run(const Options& options) {
    const char* sandbox = std::getenv("QEL_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1") {
        std::fprintf(stderr,
                     "qel_soak needs the private PC/SC service: "
                     "tools/pcsc-sandbox.sh -- build-test/tests/soak/qel_soak\n");
        return 2;
    }
    std::unique_ptr<PcscDaemon> daemon;
    if (options.phase_b && options.pcscd_restarts > 0) {
        const std::optional<pid_t> pid = running_daemon();
        if (!pid) {
            std::fprintf(stderr, "qel_soak: no running pcscd to restart\n");
            return 2;
        }
        const char* log = std::getenv("QEL_SANDBOX_PCSCD_LOG");
        daemon = std::make_unique<PcscDaemon>(*pid, log ? log : "");
    }

    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}();
    std::mt19937_64 random(seed);
    std::printf(
        "qel_soak: seed %llu (--seed %llu plans the same faults), T=%d card, "
        "%d readouts and %d presses a phase, samples every %d iterations\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed),
        options.t1 ? 1 : 0, options.readouts, options.presses, options.sample_every);

    // The product's own binding, as the tool loads it.
    if (!qel::card::LoadWinSCard()) {
        std::fprintf(stderr, "qel_soak: the binding cannot load pcsc-lite\n");
        return 1;
    }
    const qel::bench::TempDir temp("qel-soak");
    Watchdog watchdog(options.hang_timeout_s);
    std::vector<std::string> card_options = kCardValues;
    if (options.t1)
        card_options.push_back("--t1");
    FaultInjector injector(card_options, daemon.get());

    bool pass = true;
    if (options.phase_a) {
        std::printf("\nPhase A: no faults\n");
        const auto loops = run_phase("A", options, {}, {}, injector, watchdog, temp.path());
        pass = judge_phase("Phase A", loops, options.sample_every, false) && pass;
    }
    if (options.phase_b) {
        // The faults are shared by the loops' lengths; the daemon restarts alternate between
        // them, the readouts first.
        const int total = options.readouts + options.presses;
        const int readout_faults = static_cast<int>(
            (static_cast<long long>(options.faults) * options.readouts + total / 2) / total);
        const int readout_restarts =
            options.presses == 0 ? options.pcscd_restarts : (options.pcscd_restarts + 1) / 2;
        // The kinds are mixed over the whole phase, so that a short run with one fault of a
        // kind in each loop still sees both signals.
        const std::vector<FaultKind> card_kinds =
            mixed_kinds(random, options.faults, FaultKind::CardKilled, FaultKind::CardStopped);
        const std::vector<FaultKind> daemon_kinds = mixed_kinds(
            random, options.pcscd_restarts, FaultKind::PcscdKilled, FaultKind::PcscdStopped);
        std::vector<FaultKind> readout_kinds(card_kinds.begin(),
                                             card_kinds.begin() + readout_faults);
        readout_kinds.insert(readout_kinds.end(), daemon_kinds.begin(),
                             daemon_kinds.begin() + readout_restarts);
        std::vector<FaultKind> press_kinds(card_kinds.begin() + readout_faults, card_kinds.end());
        press_kinds.insert(press_kinds.end(), daemon_kinds.begin() + readout_restarts,
                           daemon_kinds.end());
        const auto readout_plan = plan_faults(random, options.readouts, readout_kinds);
        const auto press_plan = plan_faults(random, std::max(options.presses, 1), press_kinds);
        std::printf("\nPhase B: %d card faults and %d pcscd restarts\n", options.faults,
                    options.pcscd_restarts);
        const auto loops =
            run_phase("B", options, readout_plan, press_plan, injector, watchdog, temp.path());
        pass = judge_phase("Phase B", loops, options.sample_every, true) && pass;
        if (daemon && options.pcscd_restarts > 0)
            std::printf("pcscd now runs as pid %d, started by this run\n",
                        static_cast<int>(daemon->pid()));
    }
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Line by line even into a file, so that a long run can be followed as it goes and its
    // figures stay in order with what the libraries write to stderr.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    int status = 1;
    try {
        QApplication application(qt_argc, qt_argv);
        status = run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel_soak: %s\n", e.what());
        status = 1;
    }
    qel::card::UnloadWinSCard();
    return status;
}
