#pragma once

// qel_sn --diagnose: every step of a readout looked at in turn, each with what it found and, where
// something is wrong, what to do. For a support desk: one report a user pastes into a ticket. It
// starts nothing, changes nothing and leaves each card as it found it; the only file it writes is
// its line in the log file.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "log/log_place.h"
#include "readout/readout.h"

namespace qel::app {

struct Check {
    enum class Status { Ok, Warn, Fail, Skipped };
    std::string name;  // program, library, service, readers, cards, profiles, dongle
    Status status = Status::Ok;
    std::string finding;
    std::string fix;  // for a warning or a failure; empty otherwise
};

struct Diagnosis {
    std::vector<Check> checks;
    // The dongle's readout, when the diagnosis read it.
    std::optional<ReadoutResult> dongle;

    bool failed() const;
};

// The checks' names, in the order they run.
const std::vector<std::string>& diagnosis_check_names();

// Runs the checks in their order, tells `check_begins` (if given) the name of each as it
// begins and hands each to `check_made` (if given) as soon as it is made. `program` is the
// running program's path. Loads the PC/SC library (and leaves it loaded) when it can.
Diagnosis diagnose(const std::string& program, const log::LogPlace& log_place,
                   const std::function<void(const Check&)>& check_made = {},
                   const std::function<void(const std::string&)>& check_begins = {});

// What did not answer within `seconds` while the check `name` ran.
enum class Unanswered { Service, Dongle };
// The failed check that says so, and the one of each check after it, which is not run.
Check unanswered_check(const std::string& name, Unanswered what, unsigned seconds);
Check not_run_check(const std::string& name, const std::string& unanswered);

// A check's lines for a terminal: "ok", "warn", "FAIL" or "skipped", the check's name and what it
// found; for a warning or a failure an indented "fix: " line after it. What it found and the fix
// go through error_line: each is one line, whatever names and paths they carry.
std::string check_text(const Check& check);
// The report for a terminal: the lines of every check.
std::string diagnosis_text(const Diagnosis& diagnosis);

// The same as one JSON object with a line end: {"checks": [{"check", "status", "finding", "fix"}],
// "dongle": the readout's fields (readout_fields) or null}.
std::string diagnosis_json(const Diagnosis& diagnosis);

}  // namespace qel::app
