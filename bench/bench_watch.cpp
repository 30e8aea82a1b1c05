// How soon `qel_sn --watch` prints a dongle's readout after the dongle is put in, against the
// floor: a bare loop on SCardGetStatusChange that, when a card comes, connects to it on the
// context it waits with and makes the same PC/SC calls for the readout (bench_watch_floor
// --watch). A third side is that loop with a context and a reader list of its own for each
// readout, as our readout has them, so that the table shows what they cost. All run as child
// processes whose standard output is a pipe read here, in turns of insertions of the virtual
// card into the same reader, the order of the sides changing from round to round.
//
//   tools/pcsc-sandbox.sh -- build-bench/bench/bench_watch [options]
//   chrt -f 10 tools/pcsc-sandbox.sh -- build-bench/bench/bench_watch [options]
//
// The second form runs pcscd, the cards and the programs measured at real-time priority: on a
// machine busy with other work, a readout of a millisecond or two otherwise waits for the CPU
// more than it works, and the figures tell more of the machine's load than of the programs.
//
// Two starting points are timed, both the same for every side:
//   - pcscd announcing the card, seen by this program's own PC/SC wait. vpcd takes the card's
//     connection in pcscd's presence check and pcscd announces the card right after powering it
//     up, so this is the card connecting as PC/SC sees it. The goal is about this figure.
//   - starting the card program. It adds the wait for pcscd's next look at the reader (vpcd has
//     no event of its own, so pcscd looks every 400 ms), which no side can shorten.
// Each turn starts its program with a card already in the reader and waits for its readout of
// it, so that the insertions measured find the program watching, and ends it after the last.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_temp_dir.h"
#include "bench/bench_watch_child.h"
#include "bench/bench_watch_runs.h"
#include "bench/bench_workflow_stats.h"
#include "tests/e2e/support/virtual_card.h"

namespace {

using namespace qel::bench;

constexpr double kGoalRatio = 1.2;
constexpr std::chrono::milliseconds kReadoutTimeout{10000};
constexpr int kReader = 0;
constexpr std::size_t kSides = 3;

struct Options {
    int insertions = 50;
    int per_turn = 5;
    CardOptions card;
    std::string samples_file;  // empty: none written
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--insertions N] [--per-turn N] [--t1] [--card-option OPTION]...\n"
                 "          [--ours PATH] [--samples FILE]\n"
                 "  --insertions N        measured insertions of each side (default 50)\n"
                 "  --per-turn N          insertions in a row for one side (default 5); each\n"
                 "                        turn starts the program anew\n"
                 "  --samples FILE        every measured insertion as CSV: side, the card\n"
                 "                        program's start to pcscd's announcement, then each\n"
                 "                        line's time after the announcement, in ms\n",
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
        const char* value = argv[++i];
        if (option == "--samples") {
            options.samples_file = value;
            continue;
        }
        const std::optional<int> number = count_argument(value, 1);
        if (!number)
            return std::nullopt;
        if (option == "--insertions")
            options.insertions = *number;
        else if (option == "--per-turn")
            options.per_turn = *number;
        else
            return std::nullopt;
    }
    return options;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// What one side's measured insertions gave.
struct Latencies {
    std::vector<double> announced_ms;  // after the card program's start
    std::vector<double> from_announced_ms;
    std::vector<double> from_card_start_ms;
    // Each line's time after the announcement, by its place in the readout.
    std::vector<std::vector<double>> line_ms =
        std::vector<std::vector<double>>(kReadoutLines.size());
};

// One turn: the program started with a card in the reader, its readout of it awaited, the card
// pulled; then `count` insertions timed; then the program ended. It must have printed exactly
// one readout per insertion.
void run_turn(const Program& program, const std::vector<std::string>& card_options, int count,
              Latencies& latencies) {
    std::optional<qel::e2e::VirtualCard> card;
    card.emplace(kReader, card_options);
    TappedChild child(program.path, program.args);
    check_readout(program, "at its start",
                  child.take_through(kReadoutLines.back(), kReadoutTimeout), child);
    card->stop();
    card.reset();

    for (int i = 0; i < count; ++i) {
        const Clock::time_point card_start = Clock::now();
        card.emplace(kReader, card_options);
        const Clock::time_point announced = Clock::now();
        const auto lines = child.take_through(kReadoutLines.back(), kReadoutTimeout);
        check_readout(program, "after an insertion", lines, child);
        latencies.announced_ms.push_back(ms(announced - card_start));
        latencies.from_announced_ms.push_back(ms(lines->back().at - announced));
        latencies.from_card_start_ms.push_back(ms(lines->back().at - card_start));
        for (std::size_t j = 0; j < lines->size(); ++j)
            latencies.line_ms[j].push_back(ms((*lines)[j].at - announced));
        card->stop();
        card.reset();
    }

    if (!child.running())
        throw std::runtime_error(std::string(program.name) +
                                 " ended during the watch; its standard error:\n" + child.log());
    child.stop();
    // Whatever it printed after the last readout it was asked for is a readout too many.
    if (!child.wait_for_end(kReadoutTimeout))
        throw std::runtime_error(std::string(program.name) + " did not end");
    if (const std::string extra = child.untaken(); !extra.empty())
        throw std::runtime_error(std::string(program.name) +
                                 " printed more than one readout per insertion:\n" + extra);
}

void write_samples(const std::string& file, const Program (&programs)[kSides],
                   const Latencies (&latencies)[kSides]) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> samples(std::fopen(file.c_str(), "w"),
                                                            &std::fclose);
    if (!samples)
        throw std::runtime_error("cannot write " + file + ": " + std::strerror(errno));
    std::fprintf(samples.get(), "side,announced_ms");
    for (std::size_t j = 0; j < kReadoutLines.size(); ++j)
        std::fprintf(samples.get(), ",line%zu_ms", j + 1);
    std::fprintf(samples.get(), "\n");
    for (std::size_t side = 0; side < kSides; ++side) {
        const Latencies& l = latencies[side];
        for (std::size_t i = 0; i < l.announced_ms.size(); ++i) {
            std::fprintf(samples.get(), "%s,%.3f", programs[side].name, l.announced_ms[i]);
            for (const std::vector<double>& line : l.line_ms)
                std::fprintf(samples.get(), ",%.3f", line[i]);
            std::fprintf(samples.get(), "\n");
        }
    }
}

void print_lines(const Program (&programs)[kSides], const Latencies (&latencies)[kSides]) {
    std::printf(
        "  each line after the announcement, ms (median; the floors print theirs at once)\n");
    std::printf("    %-28s", "");
    for (const Program& program : programs)
        std::printf(" %12s", program.name);
    std::printf("\n");
    for (std::size_t j = 0; j < kReadoutLines.size(); ++j) {
        std::printf("    %-28s", kReadoutLines[j].c_str());
        for (const Latencies& side : latencies)
            std::printf(" %12.3f", summarize(side.line_ms[j]).median);
        std::printf("\n");
    }
}

int run(const Options& options) {
    const TempDir dir("qel-bench-watch");
    const Program programs[kSides] = {
        ours_program(dir, options.card.ours, {"--watch"}),
        floor_program(dir, "floor", {"--watch"}),
        floor_program(dir, "floor+ctx", {"--watch", "--own-context"}),
    };
    const std::vector<std::string> card_options = options.card.card();

    Latencies latencies[kSides];
    // Every order of the sides in turn, so that none is favoured by going first or last.
    std::size_t order[kSides] = {0, 1, 2};
    for (int done = 0; done < options.insertions; done += options.per_turn) {
        const int count = std::min(options.per_turn, options.insertions - done);
        for (const std::size_t side : order)
            run_turn(programs[side], card_options, count, latencies[side]);
        std::next_permutation(std::begin(order), std::end(order));
    }
    if (!options.samples_file.empty())
        write_samples(options.samples_file, programs, latencies);

    std::printf("%s card in \"%s\": %d insertions of each side, %d in a row, in rounds\n",
                options.card.t1 ? "T=1" : "T=0", qel::e2e::kReaderNames[kReader],
                options.insertions, options.per_turn);
    std::printf(
        "  ours       qel_sn --watch\n"
        "  floor      bare loop, reading on the context it waits with\n"
        "  floor+ctx  bare loop, each readout with a context and a reader list of its "
        "own\n");
    std::vector<Series> from_announced;
    std::vector<Series> from_card_start;
    for (std::size_t side = 0; side < kSides; ++side) {
        from_announced.push_back({programs[side].name, latencies[side].from_announced_ms});
        from_card_start.push_back({programs[side].name, latencies[side].from_card_start_ms});
    }
    const std::vector<double> ratios =
        print_comparison("from pcscd announcing the card to the last line", from_announced);
    print_comparison("from starting the card program to the last line", from_card_start);
    print_lines(programs, latencies);
    // No readout ends before its card is announced: where one seems to, pcscd told this program
    // last, long after the programs measured, and every figure from the announcement is late.
    std::size_t early = 0;
    for (const Latencies& side : latencies)
        early += static_cast<std::size_t>(std::count_if(side.from_announced_ms.begin(),
                                                        side.from_announced_ms.end(),
                                                        [](double ms) { return ms < 0; }));
    if (early > 0) {
        std::printf(
            "  goal not judged: %zu readouts ended before this program saw the card "
            "announced; run the sandbox under chrt -f (see the usage)\n",
            early);
        return 0;
    }
    print_verdict("insertion to last line, median, ours/floor", ratios.front(), kGoalRatio);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage(argv[0]);
        return 2;
    }
    if (!in_sandbox("bench_watch"))
        return 2;
    take_realtime_priority();
    try {
        return run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_watch: %s\n", e.what());
        return 1;
    }
}
