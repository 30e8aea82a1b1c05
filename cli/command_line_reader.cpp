#include "cli/command_line_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "card/CardWatch.h"
#include "card/KSCardAPI.h"
#include "cli/cli_output.h"
#include "cli/journal_records.h"
#include "cli/process_end.h"
#include "cli/qel_sn.h"
#include "cli/readout_deadline.h"
#include "cli/stop_signals.h"
#include "log/journal.h"
#include "readout/insertion_watch.h"

namespace qel::app {

namespace {

// A watch that finds the inserted card held tries again for so long: another watch on the same
// station is reading it.
constexpr std::chrono::milliseconds kHeldCardPatience{2000};

class CommandLineReader final : public InsertionHandler {
public:
    CommandLineReader(const CliOptions& options, bool pcsc_loaded, const log::LogPlace& log_place,
                      StandardOutput& out)
        : m_options(options),
          m_pcsc_loaded(pcsc_loaded),
          m_out(out),
          m_log(log_place),
          m_output(m_log, out, !options.json && !options.journal),
          m_standard_error_is_journal(
              options.journal &&
              log::is_journal_stream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"))),
          m_deadline([this](StuckCall stuck) { return no_answer(stuck); }, kTimeUpSignal) {
        if (options.journal) {
            m_journal = std::make_unique<log::Journal>(
                [](const std::string& why) {
                    say("journal entries not written (" + why + "); the log file goes on");
                },
                [](std::size_t lost) {
                    say(lost == 0
                            ? std::string("journal entries written again; none lost")
                            : "journal entries written again; " + std::to_string(lost) + " lost");
                });
            // However the process ends, a stop signal's end included, the entries still waiting
            // get their chance and the ones lost are said.
            set_last_words([this] { m_journal->drain(); });
        }
        m_deadline.bound_service_calls(std::chrono::seconds(options.timeout_seconds));
        card::set_card_waiter(&m_deadline);
        m_output.on_pause = [this](std::chrono::milliseconds time) { pause(time); };
    }
    ~CommandLineReader() override {
        set_last_words({});
        card::set_card_waiter(nullptr);
    }

    CommandLineReader(const CommandLineReader&) = delete;
    CommandLineReader& operator=(const CommandLineReader&) = delete;

    int run() {
        return m_options.all ? read_all() : report(read(m_options.reader), m_options.reader);
    }

    // One readout per insertion until the watch is stopped. A readout's failure is only
    // reported: the next insertion may well be a dongle.
    int watch(card::CardWatch& watch) {
        m_watch = &watch;
        // A service that hangs is waited for, as one that has stopped is: said once, and the
        // watch goes on when it answers. The first of the two notices comes on the signal
        // thread, while this one is stuck in the call.
        m_deadline.wait_out_service([this] { tell_watch(kServiceSilent); },
                                    [this] { tell_watch(kServiceAnswers); });
        announce_missing_reader();
        watch_insertions(watch, *this, m_options.reader);
        return kExitRead;
    }

    void inserted(const std::string& reader) override {
        // Readers come and go during a watch: the hint lists them as they are.
        m_readers.reset();
        const ReadoutResult result = read(reader, session(), kHeldCardPatience);
        report(result, reader);
        // The context may be what failed (a service restarted under it): the next readout
        // starts with a new one.
        if (result.outcome != ReadoutResult::Outcome::Read)
            m_session.reset();
        // Lines nobody receives are no reason to read the next dongle.
        if (m_out.failed())
            m_watch->stop();
    }

    // For the signal thread: a readout's time may be up.
    void time_up() noexcept { m_deadline.time_up(); }

    void notice(const std::string& text) override {
        // The service went, came back or failed the watch: its old clients are gone with it.
        m_session.reset();
        tell_watch(text);
    }

private:
    // Safe on the signal thread: neither the standard error nor the journal's queue waits on
    // the calling thread.
    void tell_watch(const std::string& text) {
        log::JournalEntry entry = m_journal ? notice_entry(text) : log::JournalEntry{};
        if (entry.empty() || !m_standard_error_is_journal)
            say(text);
        if (!entry.empty())
            m_journal->send(std::move(entry));
    }

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

    ReadoutResult read(const std::string& reader, SCARDCONTEXT context = 0,
                       std::chrono::milliseconds held_card_patience = {}) {
        ReadoutOptions options;
        options.reader = reader;
        options.context = context;
        options.held_card_patience = held_card_patience;
        // A script acts on the values without seeing them: an empty answer is no serial number.
        options.empty_answer_fails = true;
        m_reading = reader;
        m_in_readout = true;
        arm_deadline();
        ReadoutResult result = read_dongle(m_dongle, m_output, options);
        m_deadline.disarm();
        m_in_readout = false;
        return result;
    }

    void arm_deadline() {
        if (m_options.timeout_seconds > 0)
            m_deadline.arm(std::chrono::seconds(m_options.timeout_seconds));
    }

    // Waiting for another program is no silence of the dongle's: its time starts again after.
    // A stop meanwhile ends the program at once; it holds no card while it waits.
    void pause(std::chrono::milliseconds time) {
        m_deadline.disarm();
        {
            const BlockingCall blocking;
            std::this_thread::sleep_for(time);
        }
        arm_deadline();
    }

    // The dongle or the service stopped answering: on the signal thread while the call is
    // stuck on this one. The card and its context stay as they are (releasing them would wait
    // for the very call that does not end); the process ends after this, its journal entries
    // given their chance on the way (end_process).
    int no_answer(StuckCall stuck) {
        const int status = stuck == StuckCall::Service ? no_service_answer() : no_dongle_answer();
        if (m_out.failed()) {
            say(m_out.failure());
            return kExitOutput;
        }
        return status;
    }

    int no_dongle_answer() {
        const std::string reader = connected_reader();
        release_held(reader);
        const ReadoutResult result =
            fail_readout(m_output, reader, no_answer_text(m_options.timeout_seconds),
                         ReadoutResult::Silent::Dongle);
        const int status = report(result, reader);
        if (m_watch == nullptr)
            return m_status ? worse_exit_status(*m_status, status) : status;
        say("the watch ends: the command to the dongle cannot be cancelled; start it again to go "
            "on");
        return kExitNoAnswer;
    }

    // Only a run of its own gets here: a watch waits for the service. Without a dongle
    // connected, it ends as a missing service does.
    int no_service_answer() {
        const std::string text = no_service_answer_text(m_options.timeout_seconds);
        if (!m_in_readout) {
            say(text);
            return m_status ? worse_exit_status(*m_status, kExitNotFound) : kExitNotFound;
        }
        const std::string reader = connected_reader();
        release_held(reader);
        const ReadoutResult result = fail_readout(
            m_output, reader, text, ReadoutResult::Silent::Service,
            reader.empty() ? ReadoutResult::Outcome::NotFound : ReadoutResult::Outcome::Failed);
        const int status = report(result, reader, false);
        return m_status ? worse_exit_status(*m_status, status) : status;
    }

    // The reader of the dongle the stuck readout had connected, else the one it was asked for.
    // Read on the signal thread while the readout's own is stuck in a call: nothing changes it.
    std::string connected_reader() const {
        if (m_dongle && m_dongle->card)
            return m_dongle->card->ReaderName;
        return m_reading;
    }

    // The held lines of an --all readout go out, after the line that names their reader.
    void release_held(const std::string& reader) {
        if (!m_output.holding())
            return;
        if (!m_options.json && !m_options.journal)
            m_out.write("Reader: " + error_line(reader) + "\n");
        m_output.release();
    }

    int read_all() {
        const std::vector<std::string> names = readers();
        for (const std::string& name : names) {
            m_output.hold();
            const ReadoutResult result = read(name);
            if (no_dongle_there(result, name)) {
                m_output.drop();
                continue;
            }
            // The readouts' lines look alike: a script tells them apart by this one, which is
            // no line of the window's and stays out of the log. A name cannot forge a line.
            release_held(name);
            const int one = report(result, name);
            m_status = m_status ? worse_exit_status(*m_status, one) : one;
        }
        // No reader holds a dongle (or none could be listed): one search over all of them says
        // so with the window's lines.
        return m_status ? *m_status : report(read(""), "");
    }

    // The front end's part of a readout: "Finished" where the window logs it, the JSON object,
    // the hint.
    int report(const ReadoutResult& result, const std::string& reader, bool list_readers = true) {
        if (result.outcome == ReadoutResult::Outcome::Read ||
            result.outcome == ReadoutResult::Outcome::NotFound)
            m_output.add_status("Finished");
        // A readout that succeeded needs no hint, nor the list of readers one would name. Only a
        // dongle that was not found is helped by the list of readers; a service that does not
        // answer would not list them.
        Hint hint = Hint::None;
        std::string advice;
        if (result.outcome != ReadoutResult::Outcome::Read) {
            const HintContext hint_context = context(
                result, reader, list_readers && result.outcome == ReadoutResult::Outcome::NotFound);
            hint = select_hint(result, hint_context);
            advice = hint_text(hint, hint_context);
        }
        const std::string cause = cause_word(result, hint);
        if (m_options.json)
            m_out.write(readout_json(result, reader, std::time(nullptr), cause) + "\n");
        if (m_journal) {
            log::JournalEntry entry = readout_entry(result, reader, cause, advice);
            if (!entry.empty())
                m_journal->send(std::move(entry));
        }
        if (advice.empty())
            return exit_status(result);
        // Under systemd the entry carries the hint already: the same words again on standard
        // error would be a second entry of the same readout.
        if (!m_standard_error_is_journal)
            say(advice);
        // Once: a watch that meets one failure after another needs it no more often. A journal's
        // entries are read later, and elsewhere: their catalog text names the diagnosis.
        if (!m_options.journal && !m_pointed_to_diagnosis)
            say("for a report of every step, run: qel_sn --diagnose");
        m_pointed_to_diagnosis = true;
        return exit_status(result);
    }

    // An --all readout of a reader that holds no card, or another card: nothing to report.
    bool no_dongle_there(const ReadoutResult& result, const std::string& reader) {
        const Hint hint = select_hint(result, context(result, reader, true));
        return hint == Hint::NoDongle || hint == Hint::EmptyReaders || hint == Hint::NotTheDongle;
    }

    // What the advice on `result` names: the readers (when they help), the one asked for, and
    // the cause the search met first.
    HintContext context(const ReadoutResult& result, const std::string& reader, bool with_readers) {
        return {.pcsc_loaded = m_pcsc_loaded,
                .readers = with_readers ? readers() : std::vector<std::string>{},
                .wanted_reader = reader,
                .cause = leading_cause(result.causes)};
    }

    // A watch for a reader that is not there waits all the same (it may be plugged in later),
    // but says once what it waits for.
    void announce_missing_reader() {
        const std::string& wanted = m_options.reader;
        if (wanted.empty())
            return;
        const std::vector<std::string>& names = readers();
        if (std::find(names.begin(), names.end(), wanted) == names.end())
            say("there is no reader \"" + wanted + "\"; waiting for it");
    }

    // Listed once, and only when asked for: a readout that succeeds needs no list.
    const std::vector<std::string>& readers() {
        if (!m_readers) {
            m_readers.emplace();
            try {
                const card::TKSCardAPI api(0);
                for (std::size_t i = 0; i < api.Readers->size(); ++i)
                    m_readers->push_back(api.Readers->Items(i).Name);
            } catch (const std::exception&) {
                // The readout itself reports why PC/SC cannot list them.
            }
        }
        return *m_readers;
    }

    const CliOptions& m_options;
    const bool m_pcsc_loaded;
    StandardOutput& m_out;
    log::t_event_log m_log;
    CliOutput m_output;
    // With --journal under systemd: what becomes an entry is not written to standard error too.
    const bool m_standard_error_is_journal;
    // A watch's one context for all its readouts, made at the first; before the dongle, which
    // may be made on it.
    card::PcscContext m_session;
    std::unique_ptr<t_qel_sc_base> m_dongle;
    std::optional<std::vector<std::string>> m_readers;
    card::CardWatch* m_watch = nullptr;
    // The reader of the readout under way, and the worst status of --all so far.
    std::string m_reading;
    bool m_in_readout = false;
    std::optional<int> m_status;
    bool m_pointed_to_diagnosis = false;
    ReadoutDeadline m_deadline;
    // Made last, ended first: its destructor waits a moment for the entries still queued.
    std::unique_ptr<log::Journal> m_journal;
};

// What the signal thread does: the end of a readout's time goes to the reader, a stop to `stop`.
template <class Stop>
std::function<void(int)> on_signal(CommandLineReader& reader, Stop stop) {
    return [&reader, stop](int signal) {
        if (signal == kTimeUpSignal)
            reader.time_up();
        else
            stop(signal);
    };
}

// Reads each dongle put in until a stop signal; the PC/SC library is loaded.
int watch_dongles(const CliOptions& options, const log::LogPlace& log_place, StandardOutput& out) {
    // Cards already inserted count as inserted now: a dongle put in just before the watch
    // starts is read, not lost.
    card::CardWatchOptions watch_options;
    watch_options.report_present_cards = true;
    card::CardWatch watch(watch_options);
    CommandLineReader reader(options, true, log_place, out);
    // Made before any other thread starts, so that every thread leaves the signals to it. A
    // stop ends the watch with status 0, at once if the main thread is stuck.
    const StopSignals signals(on_signal(reader,
                                        [&watch](int) {
                                            request_stop(kExitRead);
                                            watch.stop();
                                        }),
                              kTakenSignals);
    // A journal watch writes nothing there: under systemd its standard output is a stream to
    // the journal, which may close when the journal restarts.
    std::optional<StandardOutputWatch> reader_gone;
    if (!options.journal)
        reader_gone.emplace([] {
            say(StandardOutput::failure_text(EPIPE));
            return kExitOutput;
        });
    const int status = reader.watch(watch);
    // A stop signal ended the watch: the process ends here, as it would have in the middle of a
    // call, its journal given its last words while it lives and nothing after them waiting on a
    // service that may hang (the release of a context).
    if (stop_requested())
        end_process(status);
    return status;
}

int read_once(const CliOptions& options, bool pcsc_loaded, const log::LogPlace& log_place,
              StandardOutput& out) {
    CommandLineReader reader(options, pcsc_loaded, log_place, out);
    // A single readout stopped by a signal ends by that signal, as it did before it had a
    // thread of its own for them: a shell's loop over readouts stops with it.
    const StopSignals signals(on_signal(reader, [](int signal) { end_process_by_signal(signal); }),
                              kTakenSignals);
    return reader.run();
}

}  // namespace

int read_dongles(const CliOptions& options, const log::LogPlace& log_place) {
    const bool pcsc_loaded = card::LoadWinSCard();
    StandardOutput out;
    int status = kExitFailed;
    try {
        if (options.watch && !pcsc_loaded) {
            // Nothing to watch with: the hint says what to install. The watch could not start,
            // which is no dongle read and none found: the status of "no dongle was found".
            const CommandLineReader reader(options, pcsc_loaded, log_place, out);
            say(hint_text(Hint::NoPcscLibrary, {}));
            status = kExitNotFound;
        } else {
            status = options.watch ? watch_dongles(options, log_place, out)
                                   : read_once(options, pcsc_loaded, log_place, out);
        }
    } catch (const std::exception& e) {
        say(e.what());
    }
    card::UnloadWinSCard();
    if (out.failed()) {
        say(out.failure());
        return kExitOutput;
    }
    return status;
}

}  // namespace qel::app
