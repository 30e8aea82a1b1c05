#include "readout/option_help.h"

#include "readout/outside_text.h"

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

std::string log_file_help(const log::LogPlace& log_place) {
    // The path comes from the environment or the program's own place: escaped as any text from
    // outside.
    const std::string where =
        error_line(log_place.file.empty() ? "(none: " + log_place.problem + ")" : log_place.file);
    const std::string state = std::string(log::kStateFolderName) + "/";
    return "log file:\n"
           "  " +
           where +
           "\n"
           "Every readout's lines are appended to it. It lies beside the program when the\n"
           "program may write into its folder (a build folder). A program installed in\n" +
           log::installed_program_folder() +
           ", or in a folder it cannot write, keeps it in the state folder:\n"
           "  $XDG_STATE_HOME/" +
           state + " (by default ~/.local/state/" + state +
           ")\n"
           "Run by systemd with StateDirectory=, it lies in $STATE_DIRECTORY.\n";
}

}  // namespace qel::app
