#pragma once

// The option lines of a help text, laid out alike for both programs from their option
// declarations.

#include <cstddef>
#include <string>
#include <vector>

namespace qel::app {

struct OptionHelp {
    std::string label;        // how the option is written: "--reader NAME", "--help, -h"
    std::string description;  // one or more lines, '\n' between them
};

// One line per line of description, each description starting at `column` after a label
// indented by two; a label that leaves less than two blanks before it gets a line of its own.
std::string option_help_lines(const std::vector<OptionHelp>& options, std::size_t column);

}  // namespace qel::app
