// qel_sn: the dongle readout of the window for scripts, line stations and headless machines. It
// prints the window's lines (or JSON), appends them to its log file as the window does, and says
// by its exit status, and by a hint on standard error, what happened.

#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/insertion_watch.h"
#include "app/qel_sn.h"
#include "app/readout.h"
#include "card/CardWatch.h"
#include "card/KSCardAPI.h"
#include "card/WinSCard.h"
#include "log/event_log.h"

namespace {

using namespace qel;
using app::ReadoutResult;

void print(std::FILE* stream, const std::string& text) {
    // A pipe to a script gets each line as it happens, not when the readout is over.
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

// The window's lines: to the log file, and to standard output unless JSON stands in for them.
// While held, lines wait until the readout's outcome says whether they are wanted at all.
class CliOutput : public app::ReadoutOutput {
public:
    CliOutput(log::t_event_log& log, bool to_stdout) : m_log(log), m_to_stdout(to_stdout) {}

    void add(const std::string& line) override { emit(line); }
    void add_status(const std::string& line) override { emit(line); }

    void hold() { m_holding = true; }
    void release() {
        m_holding = false;
        for (const std::string& line : m_held)
            emit(line);
        m_held.clear();
    }
    void drop() {
        m_holding = false;
        m_held.clear();
    }

private:
    void emit(const std::string& line) {
        if (m_holding) {
            m_held.push_back(line);
            return;
        }
        m_log.log(line, false);
        if (m_to_stdout)
            print(stdout, app::terminal_line(line));
    }

    log::t_event_log& m_log;
    const bool m_to_stdout;
    bool m_holding = false;
    std::vector<std::string> m_held;
};

class CommandLineReader final : public app::InsertionHandler {
public:
    CommandLineReader(const app::CliOptions& options, bool pcsc_loaded,
                      const log::LogPlace& log_place)
        : m_options(options),
          m_pcsc_loaded(pcsc_loaded),
          m_log(log_place),
          m_output(m_log, !options.json) {
        if (const std::string problem = m_log.file_problem(); !problem.empty())
            print(stderr, "qel_sn: log file not written: " + problem + "\n");
    }

    int run() {
        return m_options.all ? read_all() : report(read(m_options.reader), m_options.reader);
    }

    // One readout per insertion until the watch is stopped. A readout's failure is only
    // reported: the next insertion may well be a dongle.
    int watch(card::CardWatch& watch) {
        app::watch_insertions(watch, *this, m_options.reader);
        return app::kExitRead;
    }

    void inserted(const std::string& reader) override {
        // Readers come and go during a watch: the hint lists them as they are.
        m_readers.reset();
        const ReadoutResult result = read(reader, session());
        report(result, reader);
        // The context may be what failed (a service restarted under it): the next readout
        // starts with a new one.
        if (result.outcome != ReadoutResult::Outcome::Read)
            m_session.reset();
    }

    void notice(const std::string& text) override {
        // The service went, came back or failed the watch: its old clients are gone with it.
        m_session.reset();
        print(stderr, "qel_sn: " + text + "\n");
    }

private:
    SCARDCONTEXT session() {
        if (!m_session.holds()) {
            try {
                m_session = card::establish_context(SCARD_SCOPE_USER);
            } catch (const std::exception&) {
                // The readout then opens its own, and says why that fails.
            }
        }
        return m_session.get();
    }

    ReadoutResult read(const std::string& reader, SCARDCONTEXT context = 0) {
        app::ReadoutOptions options;
        options.reader = reader;
        options.context = context;
        return app::read_dongle(m_dongle, m_output, options);
    }

    int read_all() {
        const std::vector<std::string> names = readers();
        std::optional<int> status;
        for (const std::string& name : names) {
            m_output.hold();
            const ReadoutResult result = read(name);
            if (app::select_hint(result, context(name)) == app::Hint::NoDongle) {
                m_output.drop();
                continue;
            }
            m_output.release();
            const int one = report(result, name);
            status = status ? app::worse_exit_status(*status, one) : one;
        }
        // No reader holds a dongle (or none could be listed): one search over all of them says
        // so with the window's lines.
        return status ? *status : report(read(""), "");
    }

    // The front end's part of a readout: "Finished" where the window logs it, the JSON object,
    // the hint.
    int report(const ReadoutResult& result, const std::string& reader) {
        if (result.outcome == ReadoutResult::Outcome::Read ||
            result.outcome == ReadoutResult::Outcome::NotFound)
            m_output.add_status("Finished");
        if (m_options.json)
            print(stdout, app::readout_json(result, reader, std::time(nullptr)) + "\n");
        // A readout that succeeded needs no hint, nor the list of readers one would name.
        if (result.outcome != ReadoutResult::Outcome::Read) {
            const app::HintContext hint_context = context(reader);
            const app::Hint hint = app::select_hint(result, hint_context);
            if (hint != app::Hint::None)
                print(stderr, "qel_sn: " + app::hint_text(hint, hint_context) + "\n");
        }
        return app::exit_status(result);
    }

    app::HintContext context(const std::string& reader) {
        return {.pcsc_loaded = m_pcsc_loaded, .readers = readers(), .wanted_reader = reader};
    }

    // Listed once, and only when asked for: a readout that succeeds needs no list.
    const std::vector<std::string>& readers() {
        if (!m_readers) {
            m_readers.emplace();
            try {
                const card::TKSCardAPI api(0);
                for (std::size_t i = 0; i < api.Readers->Count(); ++i)
                    m_readers->push_back(api.Readers->Items(i).Name);
            } catch (const std::exception&) {
                // The readout itself reports why PC/SC cannot list them.
            }
        }
        return *m_readers;
    }

    const app::CliOptions& m_options;
    const bool m_pcsc_loaded;
    log::t_event_log m_log;
    CliOutput m_output;
    // A watch's one context for all its readouts, made at the first; before the dongle, which
    // may be made on it.
    card::PcscContext m_session;
    std::unique_ptr<app::t_qel_sc_base> m_dongle;
    std::optional<std::vector<std::string>> m_readers;
};

}  // namespace

int main(int argc, char* argv[]) {
    app::CliOptions options;
    if (const auto error = app::parse_cli_options({argv + 1, argv + argc}, options)) {
        print(stderr, "qel_sn: " + *error + "\n" + app::short_usage_text());
        return app::kExitUsage;
    }
    const log::LogPlace log_place = log::program_log_place();
    if (options.help) {
        print(stdout, app::usage_text(log_place));
        return app::kExitRead;
    }
    if (options.version) {
        print(stdout, app::version_text());
        return app::kExitRead;
    }

    const bool pcsc_loaded = card::LoadWinSCard();
    int status = app::kExitFailed;
    try {
        CommandLineReader reader(options, pcsc_loaded, log_place);
        if (options.watch && !pcsc_loaded) {
            // Nothing to watch with: the hint says what to install.
            print(stderr, "qel_sn: " + app::hint_text(app::Hint::NoPcscLibrary, {}) + "\n");
        } else if (options.watch) {
            // Cards already inserted count as inserted now: a dongle put in just before the
            // watch starts is read, not lost.
            card::CardWatchOptions watch_options;
            watch_options.report_present_cards = true;
            card::CardWatch watch(watch_options);
            // Made before any thread starts, so that every thread leaves the signals to it.
            const card::StopSignals signals([&watch](int) { watch.stop(); });
            status = reader.watch(watch);
        } else {
            status = reader.run();
        }
    } catch (const std::exception& e) {
        print(stderr, std::string("qel_sn: ") + e.what() + "\n");
    }
    card::UnloadWinSCard();
    return status;
}
