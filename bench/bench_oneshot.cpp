// How long `qel_sn` takes as a whole process, from its start to its end, to read the dongle that
// is already in the reader, against the floor process (bench_watch_floor: the same PC/SC calls
// straight on pcsc-lite, the same lines printed once). Both run as child processes with their
// standard output on a pipe, alternately, the order swapped every pair; a run ends when its
// output does, which is when the process ends.
//
//   tools/pcsc-sandbox.sh -- build-bench/bench/bench_oneshot [options]
//   chrt -f 10 tools/pcsc-sandbox.sh -- build-bench/bench/bench_oneshot [options]
//
// The second form runs pcscd, the card and both programs at real-time priority, so that the
// figures do not depend on what else the machine is busy with (see bench_watch).
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_temp_dir.h"
#include "bench/bench_watch_child.h"
#include "bench/bench_watch_runs.h"
#include "tests/e2e/support/virtual_card.h"

namespace {

using namespace qel::bench;

constexpr double kGoalRatio = 1.5;
constexpr std::chrono::milliseconds kRunTimeout{10000};
constexpr int kReader = 0;

struct Options {
    int runs = 100;
    int warmup = 5;
    CardOptions card;
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--runs N] [--warmup N] [--t1] [--card-option OPTION]...\n"
                 "          [--ours PATH]\n"
                 "  --runs N              measured runs of each side (default 100)\n"
                 "  --warmup N            runs of each side before measuring (default 5)\n",
                 program);
    std::fprintf(stderr, kCardOptionsUsage, qel::e2e::kReaderNames[kReader]);
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const Taken taken = take_card_option(argc, argv, i, options.card);
        if (taken != Taken::No) {
            if (taken == Taken::Bad)
                return std::nullopt;
            continue;
        }
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const std::optional<int> number = count_argument(argv[++i], option == "--runs" ? 1 : 0);
        if (!number)
            return std::nullopt;
        if (option == "--runs")
            options.runs = *number;
        else if (option == "--warmup")
            options.warmup = *number;
        else
            return std::nullopt;
    }
    return options;
}

// One run of the program: its time from start to end in ms. It must have printed the readout's
// lines and nothing else, and ended with status 0.
double run_once(const Program& program) {
    const Clock::time_point start = Clock::now();
    TappedChild child(program.path, program.args);
    const std::optional<Clock::time_point> end = child.wait_for_end(kRunTimeout);
    const auto lines = child.take_through(kReadoutLines.back(), std::chrono::milliseconds(0));
    check_readout(program, "in a run", lines, child);
    if (!end)
        throw std::runtime_error(std::string(program.name) + " did not end");
    if (const std::string extra = child.untaken(); !extra.empty())
        throw std::runtime_error(std::string(program.name) + " printed more than a readout:\n" +
                                 extra);
    if (const std::optional<int> status = child.wait_exit(kRunTimeout); status != 0)
        throw std::runtime_error(std::string(program.name) + " ended with status " +
                                 (status ? std::to_string(*status) : "none") +
                                 "; its standard error:\n" + child.log());
    return std::chrono::duration<double, std::milli>(*end - start).count();
}

int run(const Options& options) {
    const qel::e2e::VirtualCard card(kReader, options.card.card());

    const TempDir dir("qel-bench-oneshot");
    const Program programs[] = {ours_program(dir, options.card.ours, {}),
                                floor_program(dir, "floor", {})};
    std::vector<double> times[2];
    for (int i = 0; i < options.warmup + options.runs; ++i) {
        // ours, floor; then floor, ours: drift of the machine weighs on both alike.
        const int first = i % 2;
        const double first_ms = run_once(programs[first]);
        const double second_ms = run_once(programs[1 - first]);
        if (i < options.warmup)
            continue;
        times[first].push_back(first_ms);
        times[1 - first].push_back(second_ms);
    }

    std::printf("%s card in \"%s\": %d runs of each side after %d warm-up, alternating\n",
                options.card.t1 ? "T=1" : "T=0", qel::e2e::kReaderNames[kReader], options.runs,
                options.warmup);
    const std::vector<double> ratios =
        print_comparison("from the start of the process to its end",
                         {{programs[0].name, times[0]}, {programs[1].name, times[1]}});
    print_verdict("one-shot process, median", ratios.front(), kGoalRatio);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    if (!in_sandbox("bench_oneshot"))
        return 2;
    take_realtime_priority();
    try {
        return run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_oneshot: %s\n", e.what());
        return 1;
    }
}
