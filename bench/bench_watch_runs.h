#pragma once

// What the two process benchmarks share (bench_watch: a readout per insertion; bench_oneshot: a
// readout per run of the program): the dongle they read, the lines every side must print for it,
// the programs compared, and the table of their times.

#include <optional>
#include <string>
#include <vector>

#include "bench/bench_temp_dir.h"
#include "bench/bench_watch_child.h"

namespace qel::bench {

// The card's values are given, not left to its defaults, so that every readout can be checked.
inline const std::vector<std::string> kWatchCardValues{"--serial", "0A1B2C3D4E5F6071", "--firmware",
                                                       "010A",     "--error-code",     "002A"};

// The lines of one readout of that card, as the window shows them and every side prints them.
inline const std::vector<std::string> kReadoutLines{"Searching...", "Serial No (S/N): 0A1B2C3D",
                                                    "Firmware version: 010A", "Error Code: 0x2A",
                                                    "Finished"};

// One of the programs compared.
struct Program {
    const char* name = "";  // "ours", "floor", ...
    std::string path;
    std::vector<std::string> args;
};

// The qel_sn built beside the benchmark.
inline constexpr const char* kBuiltOurs = QEL_SN_PATH;

// qel_sn (the one at `ours`) and the floor, copied into `dir`: qel_sn appends to a log file
// beside itself, and both start from the same file system.
Program ours_program(const TempDir& dir, const std::string& ours,
                     const std::vector<std::string>& args);
Program floor_program(const TempDir& dir, const char* name, const std::vector<std::string>& args);

// The lines' texts.
std::vector<std::string> texts(const std::vector<TimedLine>& lines);

// Why `lines` are not the readout's lines, or nothing when they are.
std::optional<std::string> wrong_readout(const std::vector<std::string>& lines);

// Fails with the side, what it was doing, what it printed and its log unless `lines` are the
// readout's lines.
void check_readout(const Program& program, const char* when,
                   const std::optional<std::vector<TimedLine>>& lines, const TappedChild& child);

// Refuses to run outside tools/pcsc-sandbox.sh: `program` names the benchmark in the message.
bool in_sandbox(const char* program);

// Puts this process's threads, not the programs it starts, before every ordinary one, so that
// the threads that take the times run the moment they are woken; says on standard output
// whether it could. A few microseconds of work per wake-up: the programs measured lose nothing
// to them that they would not lose to any other process. A process that already runs at
// real-time priority (the whole sandbox started under chrt) is left as it is, and its programs
// inherit that priority.
void take_realtime_priority();

// A whole number argument, at least `minimum`.
std::optional<int> count_argument(const char* text, int minimum);

// The card and the program both process benchmarks run.
struct CardOptions {
    bool t1 = false;
    std::vector<std::string> extra;  // more qel_vcard options
    std::string ours = kBuiltOurs;   // the qel_sn measured

    // The virtual card's options: the dongle's values, the protocol, then the extra ones.
    std::vector<std::string> card() const;
};

enum class Taken { No, Yes, Bad };

// Takes argv[i] when it is --t1, --card-option OPTION or --ours PATH, moving `i` past a value.
Taken take_card_option(int argc, char** argv, int& i, CardOptions& options);

// The usage lines of those options and of running the benchmark, for the reader named.
extern const char* const kCardOptionsUsage;

// One side's times in milliseconds, one per readout, in the order they were taken: the n-th
// time of every side comes from the same round.
struct Series {
    const char* name = "";
    std::vector<double> ms;
};

// Median, min, p90 and max of each side; then, for each side after the first (ours), the ratio
// of ours to it: of the medians, and the median of the rounds' ratios. Returns the ratios of the
// medians, in the order of the sides after the first.
std::vector<double> print_comparison(const char* title, const std::vector<Series>& sides);

// "met" or "NOT met", and the line that says so.
void print_verdict(const char* what, double ratio, double goal);

}  // namespace qel::bench
