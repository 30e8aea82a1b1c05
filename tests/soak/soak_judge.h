#pragma once

// How the soak judges what it saw: each readout and each press of "Get Info" either shows the
// card's values exactly or fails with a text saying why, and the process keeps its descriptors
// and its memory over the run.

#include <functional>
#include <string>
#include <vector>

#include "bench/bench_workflow_floor.h"

namespace qel::soak {

// The soak repeats the benchmark's own side of the readout, and takes its values with it.
using bench::DongleReadout;

enum class Outcome {
    Correct,         // exactly the card's values
    FailedWithText,  // no values, and a text that says why
    Wrong,           // a value other than the card's, or a failure that says nothing
};

const char* outcome_name(Outcome outcome);

struct Judgement {
    Outcome outcome = Outcome::Wrong;
    std::string text;  // the failure's text, or what was wrong; empty when correct
};

// Runs `readout` and judges what it returns or throws.
Judgement judge_readout(const std::function<DongleReadout()>& readout,
                        const DongleReadout& expected);

// What a press left in the window.
struct PressResult {
    std::string memo;
    std::string status;                // the status panel
    std::vector<std::string> reports;  // texts handed to the error report
    bool button_enabled = false;
};

// The memo lines of a complete readout, "Searching..." first and without "Finished".
std::vector<std::string> readout_lines(const DongleReadout& readout);

// A press is correct when the memo holds the readout's lines and "Finished" and nothing else.
// It failed with a text when the memo holds a leading part of those lines (at least
// "Searching...") and then either "Dongle can't be found: <text>" and "Finished", or
// "Dongle can't be read: <text>" as the last line, reported once with the same text; the
// status panel shows the last line and the button is back in both cases.
Judgement judge_press(const PressResult& press, const DongleReadout& expected);

struct Sample {
    int iteration = 0;
    int descriptors = 0;
    long resident_kib = 0;
};

struct ResourceVerdict {
    bool judged = false;  // two samples or more after the warm-up
    int baseline_iteration = 0;
    int descriptors_min = 0;
    int descriptors_max = 0;
    long resident_baseline_kib = 0;
    long resident_growth_kib = 0;  // the highest sample after the warm-up, less the first
    bool descriptors_constant = false;
    bool memory_steady = false;
};

// Samples taken before `warmup` iterations are shown but not judged: the first readouts load
// libraries and fill caches for good.
ResourceVerdict judge_resources(const std::vector<Sample>& samples, int warmup,
                                long growth_limit_kib);

}  // namespace qel::soak
