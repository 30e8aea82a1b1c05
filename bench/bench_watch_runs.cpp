#include "bench/bench_watch_runs.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "bench/bench_workflow_stats.h"

namespace qel::bench {

namespace {

std::string copy_into(const TempDir& dir, const std::string& program, const char* name) {
    const std::filesystem::path copy = dir.path() / name;
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    return copy.string();
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += "    " + line + "\n";
    return text;
}

}  // namespace

Program ours_program(const TempDir& dir, const std::string& ours,
                     const std::vector<std::string>& args) {
    return {"ours", copy_into(dir, ours, "qel_sn"), args};
}

Program floor_program(const TempDir& dir, const char* name, const std::vector<std::string>& args) {
    return {name, copy_into(dir, QEL_BENCH_WATCH_FLOOR_PATH, "bench_watch_floor"), args};
}

std::vector<std::string> texts(const std::vector<TimedLine>& lines) {
    std::vector<std::string> result;
    for (const TimedLine& line : lines)
        result.push_back(line.text);
    return result;
}

std::optional<std::string> wrong_readout(const std::vector<std::string>& lines) {
    if (lines == kReadoutLines)
        return std::nullopt;
    return "printed\n" + joined(lines) + "  instead of\n" + joined(kReadoutLines);
}

void check_readout(const Program& program, const char* when,
                   const std::optional<std::vector<TimedLine>>& lines, const TappedChild& child) {
    std::string why;
    if (!lines) {
        why = "printed no \"" + kReadoutLines.back() + "\" line; its output:\n" + child.untaken();
    } else if (const auto wrong = wrong_readout(texts(*lines))) {
        why = *wrong;
    } else {
        return;
    }
    throw std::runtime_error(std::string(program.name) + " (" + program.path + ") " + when + " " +
                             why + "\n  its standard error:\n" + child.log());
}

bool in_sandbox(const char* program) {
    const char* sandbox = std::getenv("QEL_SANDBOX");
    if (sandbox != nullptr && std::string(sandbox) == "1")
        return true;
    std::fprintf(stderr, "%s needs the private PC/SC service: tools/pcsc-sandbox.sh -- %s\n",
                 program, program);
    return false;
}

void take_realtime_priority() {
    const int policy = sched_getscheduler(0);
    if (policy >= 0 && (policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO) {
        // Started at real-time priority with everything else in the sandbox (pcscd, the cards,
        // the programs measured): left as it is, so that the programs inherit it too.
        std::printf("every process at real-time priority (SCHED_FIFO, inherited)\n");
        return;
    }
    sched_param priority{};
    priority.sched_priority = 10;
    // Reset on fork: the programs measured run at the ordinary priority, like pcscd.
    const bool taken = sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == 0;
    std::printf(
        "times taken by threads at %s priority; the rest at the ordinary one (on a busy\n"
        "machine the figures then tell of its load: see chrt -f in the usage)\n",
        taken ? "real-time (SCHED_FIFO)" : "ordinary (no real-time priority allowed)");
}

std::optional<int> count_argument(const char* text, int minimum) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < minimum || value > 1000000)
        return std::nullopt;
    return static_cast<int>(value);
}

std::vector<std::string> CardOptions::card() const {
    std::vector<std::string> options = kWatchCardValues;
    if (t1)
        options.emplace_back("--t1");
    options.insert(options.end(), extra.begin(), extra.end());
    return options;
}

Taken take_card_option(int argc, char** argv, int& i, CardOptions& options) {
    const std::string option = argv[i];
    if (option == "--t1") {
        options.t1 = true;
        return Taken::Yes;
    }
    if (option != "--card-option" && option != "--ours")
        return Taken::No;
    if (i + 1 >= argc)
        return Taken::Bad;
    const char* value = argv[++i];
    if (option == "--card-option")
        options.extra.emplace_back(value);
    else
        options.ours = value;
    return Taken::Yes;
}

const char* const kCardOptionsUsage =
    "  --t1                  a T=1 card (default T=0)\n"
    "  --card-option OPTION  one more option for qel_vcard (for a card that must\n"
    "                        make the benchmark fail, for one)\n"
    "  --ours PATH           the qel_sn to measure (default: the one built with\n"
    "                        the benchmark), for a change tried out elsewhere\n"
    "Runs inside tools/pcsc-sandbox.sh, against the virtual card in \"%s\". On a\n"
    "machine busy with other work, start the sandbox under chrt -f 10: pcscd, the\n"
    "cards and the programs measured then run at real-time priority, and the\n"
    "figures are of the programs, not of the load.\n";

std::vector<double> print_comparison(const char* title, const std::vector<Series>& sides) {
    std::printf("  %s, ms\n", title);
    std::printf("    %-12s %5s %10s %10s %10s %10s\n", "", "count", "median", "min", "p90", "max");
    for (const Series& side : sides) {
        const Summary s = summarize(side.ms);
        const double max = side.ms.empty() ? 0 : *std::max_element(side.ms.begin(), side.ms.end());
        std::printf("    %-12s %5zu %10.3f %10.3f %10.3f %10.3f\n", side.name, s.count, s.median,
                    s.min, s.p90, max);
    }
    std::vector<double> ratios;
    const Series& ours = sides.front();
    for (std::size_t k = 1; k < sides.size(); ++k) {
        const Series& other = sides[k];
        std::vector<double> round_ratios;
        for (std::size_t i = 0; i < ours.ms.size() && i < other.ms.size(); ++i)
            round_ratios.push_back(ours.ms[i] / other.ms[i]);
        const double other_median = summarize(other.ms).median;
        const double ratio = other_median > 0 ? summarize(ours.ms).median / other_median : 0;
        std::printf("    ratio %s/%s: of the medians %.3f, median of the rounds' %.3f\n", ours.name,
                    other.name, ratio, summarize(round_ratios).median);
        ratios.push_back(ratio);
    }
    return ratios;
}

void print_verdict(const char* what, double ratio, double goal) {
    std::printf("  goal: %s ratio <= %.2f: %s (%.3f)\n", what, goal,
                ratio <= goal ? "met" : "NOT met", ratio);
}

}  // namespace qel::bench
