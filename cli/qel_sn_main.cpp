// qel_sn: the dongle readout of the window for scripts, line stations and headless machines. It
// prints the window's lines (or JSON), appends them to its log file as the window does, and says
// by its exit status, and by a hint on standard error, what happened.
//
// It is made to be left alone with: a stop signal ends it at once in every state, a dongle that
// stops answering cannot hold it longer than --timeout, lost output is never taken for success,
// and the log file keeps whole lines whatever ends the process.

#include <string>

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/command_line_reader.h"
#include "cli/machine_diagnosis.h"
#include "cli/standard_streams.h"
#include "log/log_place.h"
#include "readout/exit_status.h"
#include "readout/version.h"
#include "util/StandardStreams.h"

namespace {

using namespace qel;

// Text the user asked for (help, version) on standard output; a failure to write it is the
// program's result.
int print_asked_for(const std::string& text) {
    app::StandardOutput out;
    if (out.write(text))
        return app::kExitRead;
    app::say(out.failure());
    return app::kExitOutput;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before anything else is opened: a closed stream's number must not go to the log file.
    util::open_closed_standard_streams();
    app::CliOptions options;
    if (const auto error = app::parse_cli_options({argv + 1, argv + argc}, options)) {
        app::say(*error);
        app::write_standard_error(app::short_usage_text());
        return app::kExitUsage;
    }
    if (options.help)
        return print_asked_for(app::usage_text(log::program_log_place()));
    if (options.version)
        return print_asked_for(app::version_text());
    if (options.diagnose)
        return app::diagnose_machine(options);
    return app::read_dongles(options, log::program_log_place());
}
