#pragma once

// The parts of a help text that both programs share: the option lines, laid out alike from
// their option declarations, and where the log file lies.

#include <cstddef>
#include <string>
#include <vector>

#include "log/log_place.h"

namespace qel::app {

struct OptionHelp {
    std::string label;        // how the option is written: "--reader NAME", "--help, -h"
    std::string description;  // one or more lines, '\n' between them
};

// One line per line of description, each description starting at `column` after a label
// indented by two; a label that leaves less than two blanks before it gets a line of its own.
std::string option_help_lines(const std::vector<OptionHelp>& options, std::size_t column);

// The help texts' part on the log file: where this run's lies (`log_place`), and the rule.
std::string log_file_help(const log::LogPlace& log_place);

}  // namespace qel::app
