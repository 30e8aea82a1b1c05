// How close the dongle workflow comes to the floor pcsc-lite sets: our whole readout (dongle
// object, connection by AID, the three commands, destruction) against the same PC/SC calls
// made straight on pcsc-lite, alternated in one run against the virtual card, under T=0 and
// T=1; then presses of "Get Info" in the offscreen window until "Finished".
//
//   tools/pcsc-sandbox.sh -- build-bench/bench/bench_workflow [options]
//
// Both sides reach pcsc-lite through a shim that counts and times every call by function: ours
// because the binding loads the shim in place of libpcsclite.so.1, the floor because it takes
// its functions from the shim. The probe costs both sides alike, and the table can show how
// many calls of each function a run made and how much of its time lay outside them.
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "bench/bench_temp_dir.h"
#include "bench/bench_workflow_floor.h"
#include "bench/bench_workflow_ours.h"
#include "bench/bench_workflow_pcsc.h"
#include "bench/bench_workflow_stats.h"
#include "card/WinSCard.h"
#include "tests/e2e/support/virtual_card.h"
#include "window/mfrm.h"

namespace {

using namespace qel::bench;
using Clock = std::chrono::steady_clock;

constexpr double kGoalRatio = 1.05;
// Our own share of a readout: the time spent around the PC/SC calls, per run.
constexpr double kGoalOutsideUs = 15;

// The card's values are given, not left to its defaults, so that every run can be checked.
const std::vector<std::string> kCardValues{"--serial", "0A1B2C3D4E5F6071", "--firmware",
                                           "010A",     "--error-code",     "002A"};
const DongleReadout kExpected{"0A1B2C3D", 0x010A, 0x002A};

struct Options {
    int runs = 300;
    int warmup = 30;
    int pause_us = 2000;
    int presses = 50;
    bool t0 = true;
    bool t1 = true;
    std::string samples_file;  // empty: none written
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--warmup N] [--pause-us N] [--presses N]\n"
                 "          [--protocol t0|t1|both] [--samples FILE]\n"
                 "  --runs N        measured runs of each side (default 300)\n"
                 "  --warmup N      runs of each side before measuring (default 30)\n"
                 "  --pause-us N    idle time before each run (default 2000), so that each starts\n"
                 "                  on an idle daemon as a press does; back to back, runs have\n"
                 "                  been seen to alternate fast and slow on a loaded machine\n"
                 "  --presses N     presses of \"Get Info\" in the window (default 50; 0: none)\n"
                 "  --protocol P    the card's protocol (default both)\n"
                 "  --samples FILE  every measured run as CSV "
                 "(card,pair,side,order,wall_us,pcsc_us,cpu_us)\n"
                 "Runs inside tools/pcsc-sandbox.sh, against the virtual card.\n",
                 program);
}

std::optional<int> count_argument(const char* text, int minimum) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < minimum || value > 10000000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const char* value = argv[++i];
        if (option == "--samples") {
            options.samples_file = value;
            continue;
        }
        if (option == "--protocol") {
            const std::string protocol = value;
            if (protocol != "t0" && protocol != "t1" && protocol != "both")
                return std::nullopt;
            options.t0 = protocol != "t1";
            options.t1 = protocol != "t0";
            continue;
        }
        int* target = nullptr;
        int minimum = 0;
        if (option == "--runs") {
            target = &options.runs;
            minimum = 1;
        } else if (option == "--warmup") {
            target = &options.warmup;
        } else if (option == "--pause-us") {
            target = &options.pause_us;
        } else if (option == "--presses") {
            target = &options.presses;
        } else {
            return std::nullopt;
        }
        const std::optional<int> number = count_argument(value, minimum);
        if (!number)
            return std::nullopt;
        *target = *number;
    }
    return options;
}

double thread_cpu_us() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Side {
    const char* name = "";
    std::function<DongleReadout()> readout;

    std::vector<double> wall_us;
    std::vector<double> pcsc_us;  // inside PC/SC calls
    std::vector<double> outside_us;
    std::vector<double> cpu_us;
    std::array<std::vector<double>, kPcscCallKinds> call_us;
    PcscTally calls;        // of the first measured run
    int unsteady_runs = 0;  // measured runs whose calls differed from the first's
};

// One run, timed; its calls checked against the side's first measured run.
void run_once(Side& side, bool measured, const ShimProbe& probe, int pause_us) {
    if (pause_us > 0)
        usleep(static_cast<useconds_t>(pause_us));
    const PcscTally tally_before = probe.read();
    const double cpu_before = thread_cpu_us();
    const auto before = Clock::now();
    const DongleReadout readout = side.readout();
    const auto after = Clock::now();
    const double cpu_after = thread_cpu_us();
    const PcscTally tally = probe.read().since(tally_before);
    if (readout != kExpected)
        throw std::runtime_error(std::string(side.name) + " read " + describe(readout) +
                                 ", expected " + describe(kExpected));
    if (!measured)
        return;
    const double wall = us(after - before);
    const double pcsc = static_cast<double>(tally.total_nanos()) / 1000;
    side.wall_us.push_back(wall);
    side.pcsc_us.push_back(pcsc);
    side.outside_us.push_back(wall - pcsc);
    side.cpu_us.push_back(cpu_after - cpu_before);
    for (std::size_t i = 0; i < kPcscCallKinds; ++i)
        side.call_us[i].push_back(static_cast<double>(tally.nanos[i]) / 1000);
    if (side.wall_us.size() == 1)
        side.calls = tally;
    else if (tally.calls != side.calls.calls)
        ++side.unsteady_runs;
}

std::string ms(double value_us) {
    char text[32];
    std::snprintf(text, sizeof text, "%8.3f ms", value_us / 1000);
    return text;
}

void print_row(const char* label, const Summary& s) {
    std::printf("    %-30s %s %s %s\n", label, ms(s.median).c_str(), ms(s.min).c_str(),
                ms(s.p90).c_str());
}

void print_ratio(const char* label, double median, double min, double p90) {
    std::printf("    %-30s %8.3f    %8.3f    %8.3f\n", label, median, min, p90);
}

void print_calls(const Side& ours, const Side& floor) {
    // Time in a function is its share of a run, all its calls together, as a median over runs.
    std::printf("  %-32s %6s %6s %14s %14s\n", "PC/SC calls per run", "ours", "floor", "ours time",
                "floor time");
    for (std::size_t i = 0; i < kPcscCallKinds; ++i) {
        if (ours.calls.calls[i] == 0 && floor.calls.calls[i] == 0)
            continue;
        std::printf("    %-30s %6llu %6llu %11.1f us %11.1f us%s\n", kPcscCallNames[i],
                    static_cast<unsigned long long>(ours.calls.calls[i]),
                    static_cast<unsigned long long>(floor.calls.calls[i]),
                    summarize(ours.call_us[i]).median, summarize(floor.call_us[i]).median,
                    ours.calls.calls[i] != floor.calls.calls[i] ? "   differs" : "");
    }
    std::printf("    %-30s %6llu %6llu\n", "total",
                static_cast<unsigned long long>(ours.calls.total_calls()),
                static_cast<unsigned long long>(floor.calls.total_calls()));
}

void write_samples(std::FILE* samples, const char* title, int warmup, const Side& ours,
                   const Side& floor) {
    for (std::size_t j = 0; j < ours.wall_us.size(); ++j) {
        const bool ours_first = (static_cast<std::size_t>(warmup) + j) % 2 == 0;
        for (const Side* side : {&ours, &floor}) {
            const bool first = (side == &ours) == ours_first;
            std::fprintf(samples, "%s,%zu,%s,%d,%.1f,%.1f,%.1f\n", title, j, side->name,
                         first ? 1 : 2, side->wall_us[j], side->pcsc_us[j], side->cpu_us[j]);
        }
    }
}

// Returns false when the comparison is not a fair one: the sides made different numbers of
// transmits, or a side's calls changed from run to run.
bool measure_workflow(const Options& options, const ShimProbe& probe, const char* title,
                      std::FILE* samples) {
    Side ours;
    ours.name = "ours";
    ours.readout = &ours_readout;
    Side floor;
    floor.name = "floor";
    floor.readout = [&probe] { return floor_readout(probe.functions()); };

    // Pairs in alternating order (ours first, then floor first) so that drift of the machine
    // or of the daemon weighs on both sides alike.
    for (int i = 0; i < options.warmup + options.runs; ++i) {
        const bool measured = i >= options.warmup;
        Side& first = i % 2 == 0 ? ours : floor;
        Side& second = i % 2 == 0 ? floor : ours;
        run_once(first, measured, probe, options.pause_us);
        run_once(second, measured, probe, options.pause_us);
    }
    if (samples != nullptr)
        write_samples(samples, title, options.warmup, ours, floor);

    const Summary ours_wall = summarize(ours.wall_us);
    const Summary floor_wall = summarize(floor.wall_us);
    // Each pair ran back to back, so its own ratio is the one drift disturbs least.
    std::vector<double> pair_ratios;
    for (std::size_t i = 0; i < ours.wall_us.size(); ++i)
        pair_ratios.push_back(ours.wall_us[i] / floor.wall_us[i]);
    const Summary paired = summarize(pair_ratios);

    std::printf("\n%s: %d runs of each side after %d warm-up, alternating, %d us apart\n", title,
                options.runs, options.warmup, options.pause_us);
    std::printf("  %-32s %11s %11s %11s\n", "per run", "median", "min", "p90");
    std::printf("  wall time\n");
    print_row("ours (t_qel_sc_base)", ours_wall);
    print_row("floor (pcsc-lite)", floor_wall);
    print_ratio("ratio ours/floor", ours_wall.median / floor_wall.median,
                ours_wall.min / floor_wall.min, ours_wall.p90 / floor_wall.p90);
    print_ratio("ratio within each pair", paired.median, paired.min, paired.p90);
    std::printf("  wall time outside PC/SC calls\n");
    print_row("ours", summarize(ours.outside_us));
    print_row("floor", summarize(floor.outside_us));
    std::printf("  CPU time of this thread\n");
    print_row("ours", summarize(ours.cpu_us));
    print_row("floor", summarize(floor.cpu_us));
    print_calls(ours, floor);

    bool fair = true;
    if (ours.calls.calls_of(PcscCall::Transmit) != floor.calls.calls_of(PcscCall::Transmit)) {
        std::printf("  UNFAIR: the sides made different numbers of SCardTransmit calls\n");
        fair = false;
    }
    if (ours.unsteady_runs != 0 || floor.unsteady_runs != 0) {
        std::printf("  UNSTEADY: calls changed between runs (ours %d, floor %d runs)\n",
                    ours.unsteady_runs, floor.unsteady_runs);
        fair = false;
    }
    const auto verdict = [fair](double ours_value, double floor_value) {
        return fair && ours_value <= kGoalRatio * floor_value ? "met" : "NOT met";
    };
    std::printf("  goal ratio <= %.2f with equal SCardTransmit calls: median %s, min %s\n",
                kGoalRatio, verdict(ours_wall.median, floor_wall.median),
                verdict(ours_wall.min, floor_wall.min));
    std::printf("  goal time outside PC/SC calls <= %.0f us: median %s\n", kGoalOutsideUs,
                summarize(ours.outside_us).median <= kGoalOutsideUs ? "met" : "NOT met");
    return fair;
}

// What the probe adds to a call: a call that pcsc-lite answers without the daemon, made
// straight and through the shim, in alternating blocks.
void measure_probe(const ShimProbe& probe) {
    constexpr int kBlocks = 20;
    constexpr int kCallsPerBlock = 5000;
    const PcscFunctions linked = linked_pcsc();
    const auto block = [](decltype(&::SCardIsValidContext) is_valid_context) {
        const auto start = Clock::now();
        for (int i = 0; i < kCallsPerBlock; ++i)
            static_cast<void>(is_valid_context(0));
        return us(Clock::now() - start) * 1000 / kCallsPerBlock;
    };
    std::vector<double> straight_ns;
    std::vector<double> shim_ns;
    for (int i = 0; i < kBlocks; ++i) {
        straight_ns.push_back(block(linked.is_valid_context));
        shim_ns.push_back(block(probe.functions().is_valid_context));
    }
    std::printf(
        "\nProbe: SCardIsValidContext takes %.0f ns straight, %.0f ns through the shim "
        "(medians of %d blocks of %d calls)\n",
        summarize(straight_ns).median, summarize(shim_ns).median, kBlocks, kCallsPerBlock);
}

bool memo_shows_readout(const std::string& memo) {
    const std::string serial_line = "Serial No (S/N): " + kExpected.serial + "\r\n";
    const std::string finished = "Finished\r\n";
    return memo.find(serial_line) != std::string::npos && memo.size() >= finished.size() &&
           memo.compare(memo.size() - finished.size(), finished.size(), finished) == 0;
}

// Presses of "Get Info"; false when a press did not end in a complete readout.
bool measure_window(const Options& options, const ShimProbe& probe,
                    const std::filesystem::path& log_file, const char* title) {
    qel::app::Tfrm frm(log_file.string());
    std::vector<std::string> reports;
    frm.error_report = [&reports](const std::string& text) { reports.push_back(text); };
    frm.show();
    QApplication::processEvents();

    std::vector<double> press_us;
    std::vector<double> pcsc_us;
    PcscTally calls;
    const int warmup = std::min(options.presses, 5);
    for (int i = 0; i < warmup + options.presses; ++i) {
        if (options.pause_us > 0)
            usleep(static_cast<useconds_t>(options.pause_us));
        const PcscTally before = probe.read();
        const auto start = Clock::now();
        // The press runs the whole workflow before it returns.
        frm.btnProcess->click();
        const auto end = Clock::now();
        const PcscTally made = probe.read().since(before);
        if (!reports.empty() || !memo_shows_readout(frm.msg->text()) ||
            !frm.btnProcess->isEnabled()) {
            std::printf("\n%s: press %d did not end in a readout; the memo:\n%s%s%s\n", title,
                        i + 1, frm.msg->text().c_str(), reports.empty() ? "" : "report: ",
                        reports.empty() ? "" : reports.front().c_str());
            return false;
        }
        if (i >= warmup) {
            press_us.push_back(us(end - start));
            pcsc_us.push_back(static_cast<double>(made.total_nanos()) / 1000);
            calls = made;
        }
    }

    std::printf("\n%s: %d presses of \"Get Info\" after %d warm-up, offscreen, %d us apart\n",
                title, options.presses, warmup, options.pause_us);
    std::printf("  %-32s %11s %11s %11s\n", "per press", "median", "min", "p90");
    print_row("press to \"Finished\"", summarize(press_us));
    print_row("of it inside PC/SC calls", summarize(pcsc_us));
    std::printf("  PC/SC calls of the last press: %llu, of them %llu SCardTransmit\n",
                static_cast<unsigned long long>(calls.total_calls()),
                static_cast<unsigned long long>(calls.calls_of(PcscCall::Transmit)));
    return true;
}

int run(const Options& options) {
    const char* sandbox = std::getenv("QEL_SANDBOX");
    if (sandbox == nullptr || std::string(sandbox) != "1") {
        std::fprintf(stderr,
                     "bench_workflow needs the private PC/SC service: "
                     "tools/pcsc-sandbox.sh -- build-bench/bench/bench_workflow\n");
        return 2;
    }
    const ShimProbe probe(QEL_BENCH_SHIM_PATH);
    if (!qel::card::LoadWinSCard(QEL_BENCH_SHIM_PATH)) {
        std::fprintf(stderr, "the binding cannot load %s\n", QEL_BENCH_SHIM_PATH);
        return 1;
    }
    const qel::bench::TempDir temp("qel-bench-workflow");

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> samples(nullptr, &std::fclose);
    if (!options.samples_file.empty()) {
        samples.reset(std::fopen(options.samples_file.c_str(), "w"));
        if (!samples) {
            std::fprintf(stderr, "cannot write %s: %s\n", options.samples_file.c_str(),
                         std::strerror(errno));
            return 1;
        }
        std::fprintf(samples.get(), "card,pair,side,order,wall_us,pcsc_us,cpu_us\n");
    }

    struct Protocol {
        bool wanted;
        const char* title;
        std::vector<std::string> options;
    };
    const Protocol protocols[] = {{options.t0, "T=0 card", {}}, {options.t1, "T=1 card", {"--t1"}}};

    measure_probe(probe);
    bool fair = true;
    for (const Protocol& protocol : protocols) {
        if (!protocol.wanted)
            continue;
        std::vector<std::string> card_options = kCardValues;
        card_options.insert(card_options.end(), protocol.options.begin(), protocol.options.end());
        qel::e2e::VirtualCard card(0, card_options);
        fair = measure_workflow(options, probe, protocol.title, samples.get()) && fair;
        if (options.presses > 0)
            fair = measure_window(options, probe, temp.path() / "bench_workflow.log",
                                  protocol.title) &&
                   fair;
        std::fflush(stdout);
    }
    return fair ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    // The window is measured without a display.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qt_argc = 1;
    char* qt_argv[] = {argv[0], nullptr};
    int status = 1;
    try {
        QApplication application(qt_argc, qt_argv);
        status = run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_workflow: %s\n", e.what());
        status = 1;
    }
    qel::card::UnloadWinSCard();
    return status;
}
