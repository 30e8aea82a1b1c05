#include "app/option_help.h"

namespace qel::app {

namespace {

constexpr std::size_t kLabelIndent = 2;
constexpr std::size_t kLabelGap = 2;

}  // namespace

std::string option_help_lines(const std::vector<OptionHelp>& options, std::size_t column) {
    const std::string indent(column, ' ');
    std::string lines;
    for (const OptionHelp& option : options) {
        std::string line = std::string(kLabelIndent, ' ') + option.label;
        line += line.size() + kLabelGap > column ? '\n' + indent : indent.substr(line.size());
        std::string description = option.description;
        for (auto at = description.find('\n'); at != std::string::npos;
             at = description.find('\n', at + 1))
            description.insert(at + 1, indent);
        lines += line + description + '\n';
    }
    return lines;
}

}  // namespace qel::app
