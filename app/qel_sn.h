#pragma once

// The pieces of the command-line reader that need no card: its exit statuses, the JSON form of a
// readout and the hint that tells the user what to do after a failure. Its options are in
// app/cli_options.h.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/readout.h"

namespace qel::app {

inline constexpr int kExitRead = 0;
inline constexpr int kExitNotFound = 1;
inline constexpr int kExitFailed = 2;
// The usual status of a command line that cannot be understood (sysexits' EX_USAGE).
inline constexpr int kExitUsage = 64;
// Standard output could not be written (sysexits' EX_IOERR).
inline constexpr int kExitOutput = 74;
// A watch ended because a dongle stopped answering: the command under way cannot be cancelled,
// so the process ends, for a service manager to start it again (sysexits' EX_TEMPFAIL).
inline constexpr int kExitNoAnswer = 75;

// The failure of a readout whose dongle did not answer within --timeout.
std::string no_answer_text(unsigned seconds);
// The same for the PC/SC service, which hangs or accepts and never answers.
std::string no_service_answer_text(unsigned seconds);

// `text` as one line of standard error, or of any other line the program writes for a terminal:
// the line breaks of a multi-line failure text become "; ", and every other control character
// is escaped (\xHH), so that a reader name, a path or a card's answer can neither forge a line
// nor drive the terminal. Controls are C0 and DEL, and C1 both as UTF-8 (C2 80 to C2 9F) and as
// a byte of its own that starts no valid UTF-8 sequence (80 to 9F, which a terminal that takes
// bytes as Latin-1 obeys); valid UTF-8 and the other bytes pass unchanged.
std::string error_line(std::string_view text);

// "<program> <major>.<minor>" and a line end.
std::string version_text(const std::string& program = "qel_sn");

// The status a single readout leads to; a readout that was stopped counts as failed.
int exit_status(const ReadoutResult& result);
// Of several readouts the worst counts: failed over not found over read.
int worse_exit_status(int a, int b);

// A readout line for a terminal or a pipe: the CR LF inside a multi-line failure text becomes
// LF, every other control character (a lone CR or LF included) is escaped as error_line escapes
// it, and the line gets its LF.
std::string terminal_line(const std::string& line);

// The lines of a multi-line failure text as a Linux program writes them: each CR LF becomes LF,
// and nothing else changes. For JSON and the journal, which carry every byte as it is.
std::string lf_line_ends(std::string_view text);

// `text` as UTF-8 for JSON, which takes nothing else: reader names and failure texts come from
// PC/SC and the card, and a byte that starts no valid UTF-8 sequence is taken as Latin-1 (the
// character of its value). Overlong forms, surrogates and code points past U+10FFFF are invalid.
std::string as_utf8(std::string_view text);
// `text` as a JSON string, quotes included, through as_utf8.
std::string json_string(std::string_view text);

// "2026-12-07T15:20:00Z".
std::string iso8601_utc(std::time_t when);

// One readout as a JSON object on one line, without a line end. `reader` stands in for the
// result's reader when the readout connected none (the reader that was searched, if one was).
// A failure's object carries `cause` (cause_word) when it is given.
std::string readout_json(const ReadoutResult& result, const std::string& reader, std::time_t when,
                         std::string_view cause = {});

// What the user can do about a failed readout.
enum class Hint {
    None,
    NoPcscLibrary,
    ServiceNotRunning,
    ServiceNotAnswering,
    NoReader,
    UnknownReader,
    NoDongle,
    EmptyReaders,
    NotTheDongle,
    ProfileUnusable,
    CardInUse,
    CardRemoved,
    CardLost,
    ReadFailed,
};

// Of what a search met, the cause its advice leads with, the real cause first: a held card, then
// a profile that cannot be used, then a card that is not the dongle, then a reader that failed.
// None when every reader was empty, or nothing was met.
std::optional<card::ReaderCause> leading_cause(const std::vector<card::ReaderCause>& causes);

struct HintContext {
    bool pcsc_loaded = true;
    std::vector<std::string> readers;  // the readers PC/SC lists now; empty when unknown
    std::string wanted_reader;         // --reader, if given
    // leading_cause of the readout's causes: the reader and card the advice names.
    std::optional<card::ReaderCause> cause;
};

// Decided from the PC/SC code underneath the failure where there is one (the construction
// failures carry it nested inside a plain exception), else from what the search met in each
// reader.
Hint select_hint(const ReadoutResult& result, const HintContext& context);
std::string hint_text(Hint hint, const HintContext& context);

// One fixed word for what a failed readout met, for scripts: the hint's, such as "card_in_use",
// "other_card", "no_card" or "service_not_running"; "dongle_not_answering" for a readout ended
// by --timeout.
std::string cause_word(const ReadoutResult& result, Hint hint);

}  // namespace qel::app
