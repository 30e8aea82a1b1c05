#pragma once

// What the user can do about a failed readout, decided by its cause: the hint of qel_sn, the fix
// of the diagnosis's dongle check, the window's note when reading on insertion is off.

#include <optional>
#include <string>
#include <vector>

#include "readout/readout.h"

namespace qel::app {

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
