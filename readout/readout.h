#pragma once

// The dongle readout that every front end runs: find the dongle, read its serial number, firmware
// version and error code, log the lines, release the card. No window toolkit: the window, the
// command-line program and the benchmark all call it and differ only in where the lines go.

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "readout/qel_sc_base.h"

namespace qel::app {

// Where the readout's lines go. `add` takes a result line, `add_status` a progress or failure
// line (the window also shows those in its status panel). After each line the readout asks
// `stopped`: a front end that is going away (the window was closed during a line's message
// pump) ends the readout there, without another card command.
class ReadoutOutput {
public:
    virtual ~ReadoutOutput() = default;
    virtual void add(const std::string& line) = 0;
    virtual void add_status(const std::string& line) = 0;
    virtual bool stopped() const { return false; }
    // The readout waits before it tries a held card again; a window keeps itself alive meanwhile.
    virtual void pause(std::chrono::milliseconds time);
};

struct ReadoutOptions {
    // Only the dongle in this reader (exact PC/SC name); empty: the first reader that holds one.
    std::string reader;
    // A PC/SC context of the caller's to search and read on, which stays the caller's; 0: the
    // readout opens and releases its own. A front end that reads dongle after dongle keeps one
    // and saves the service a new client each time.
    SCARDCONTEXT context = 0;
    // How long a card that another program holds is tried again before the readout reports it
    // in use. Two watches on one station both see each insertion, and one of them connects
    // first: the other then reads the dongle once the first lets go. Zero: reported at once.
    std::chrono::milliseconds held_card_patience{0};
    // An answer of the status word alone to one of the three reads fails the readout instead of
    // showing an empty serial number or a zero: for callers that act on the values without
    // seeing them. The window shows the lines as they come.
    bool empty_answer_fails = false;
};

struct ReadoutResult {
    enum class Outcome {
        Read,      // the three reads succeeded
        NotFound,  // "Dongle can't be found: ..." was logged
        Failed,    // found, then a read failed: "Dongle can't be read: ..." was logged
        Stopped,   // the front end stopped the readout
    };
    Outcome outcome = Outcome::Stopped;
    std::string reader;   // the dongle's reader, when one was connected
    util::ByteArray atr;  // the dongle's ATR, likewise
    std::string serial;   // as in the line "Serial No (S/N): "
    std::uint16_t firmware = 0;
    unsigned error_code = 0;       // the low byte the window shows; 0 when it shows none
    std::uint16_t error_word = 0;  // the error code as the dongle answered it, high byte included
    std::string failure;           // the text after "Dongle can't be found: " / "... read: "
    std::exception_ptr cause;      // what failed underneath, for front ends that give hints
    // What the search met in each reader that did not hold the dongle (not found only).
    std::vector<card::ReaderCause> causes;
    // What did not answer within the front end's time, when that ended the readout.
    enum class Silent { None, Dongle, Service };
    Silent silent = Silent::None;
};

// One readout, with exactly the window's lines in the window's order: "Searching..." (status),
// then either "Dongle can't be found: <text>" (status) or the serial, firmware and, when not
// zero, error code lines, or "Dongle can't be read: <text>" (status) after a failed read. It does
// not log "Finished": that is the front end's. `dongle` is the front end's slot for the one
// dongle object of the readout: it holds the dongle while the readout runs (so a window closed in
// a message pump can release it), and is empty again when the readout returns.
ReadoutResult read_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                          const ReadoutOptions& options = {});

// The line a failed readout logged: "Dongle can't be found: <text>" or "Dongle can't be read:
// <text>"; empty for a readout that did not fail.
std::string failure_line(const ReadoutResult& result);

// A readout that failed outside read_dongle (its front end gave up waiting for what was
// `silent`): logs "Dongle can't be read: <text>" (or, for `outcome` NotFound, "Dongle can't be
// found: <text>") as a status line, as read_dongle logs its failures, and returns the result
// that goes with it.
ReadoutResult fail_readout(ReadoutOutput& output, const std::string& reader, std::string text,
                           ReadoutResult::Silent silent,
                           ReadoutResult::Outcome outcome = ReadoutResult::Outcome::Failed);

// The readout's first two steps on their own, for the window, whose workflow names them.
// `create_dongle` empties the slot and fills it with a new dongle, or logs "Dongle can't be
// found: <text>". `find_dongle` logs "Searching...", creates the dongle and connects it by its
// applet AID, or logs the not-found line and empties the slot. On false, `result` tells why.
bool create_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                   ReadoutResult& result, SCARDCONTEXT context = 0);
bool find_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                 const ReadoutOptions& options, ReadoutResult& result);

}  // namespace qel::app
