#pragma once

#include <cstdint>

namespace qel::card {

// What a failed PC/SC call means for the program that made it, whatever code pcsc-lite chose
// to say it with. Every place that acts on a failure (the lookup's reasons, qel_sn's hints, the
// watch) asks this, so that a code newly seen is taught once.
enum class PcscFailure {
    None,         // no PC/SC code: success, or a failure of the card layers themselves
    ServiceGone,  // the service is not running, stopped under the call, or was restarted
    NoReader,     // no reader is attached at all
    ReaderGone,   // the reader named is not there (any more)
    NoCard,       // the reader is empty
    CardRemoved,  // the card left during the exchange
    CardInUse,    // another program holds the card
    CardLost,     // the exchange broke off in the reader: the card pulled out, or lost by it
    Interrupted,  // a wait that was cancelled or timed out
    Other,
};

PcscFailure classify_pcsc(std::uint32_t code) noexcept;

}  // namespace qel::card
