#include "readout/hints.h"

#include <algorithm>
#include <exception>

#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "card/WinSCard.h"

namespace qel::app {

namespace {

std::exception_ptr nested_cause(const std::exception& e) {
    try {
        std::rethrow_if_nested(e);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// What the first PC/SC code on the chain of nested failures means; None when there is none.
card::PcscFailure pcsc_failure_of(std::exception_ptr cause) {
    while (cause) {
        try {
            std::rethrow_exception(cause);
        } catch (const card::EKSCardAPIWinAPIException& e) {
            if (e.failure() != card::PcscFailure::None)
                return e.failure();
            cause = nested_cause(e);
        } catch (const std::exception& e) {
            cause = nested_cause(e);
        } catch (...) {
            return card::PcscFailure::None;
        }
    }
    return card::PcscFailure::None;
}

std::string cause_reader(const HintContext& context) {
    return "\"" + (context.cause ? context.cause->reader : std::string()) + "\"";
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty())
            text += ", ";
        text += "\"" + name + "\"";
    }
    return text;
}

// "in any reader", or "in the readers searched: "A", "B"".
std::string searched_readers(const HintContext& context) {
    const std::vector<std::string> searched = context.wanted_reader.empty()
                                                  ? context.readers
                                                  : std::vector<std::string>{context.wanted_reader};
    return searched.empty() ? std::string("in any reader")
                            : "in the readers searched: " + quoted_list(searched);
}

}  // namespace

Hint select_hint(const ReadoutResult& result, const HintContext& context) {
    using Outcome = ReadoutResult::Outcome;
    if (result.outcome != Outcome::NotFound && result.outcome != Outcome::Failed)
        return Hint::None;
    // Without the library every PC/SC call answers "no service"; starting pcscd would not help.
    if (!context.pcsc_loaded)
        return Hint::NoPcscLibrary;
    if (result.silent == ReadoutResult::Silent::Service)
        return Hint::ServiceNotAnswering;

    switch (pcsc_failure_of(result.cause)) {
        case card::PcscFailure::ServiceGone:
            return Hint::ServiceNotRunning;
        case card::PcscFailure::NoReader:
            return Hint::NoReader;
        case card::PcscFailure::CardInUse:
            return Hint::CardInUse;
        case card::PcscFailure::CardLost:
            return Hint::CardLost;
        // A dongle pulled out takes its reader along: pcscd reports the reader gone as often as
        // the card removed.
        case card::PcscFailure::CardRemoved:
        case card::PcscFailure::NoCard:
        case card::PcscFailure::ReaderGone:
            return Hint::CardRemoved;
        default:
            break;
    }

    const auto& readers = context.readers;
    if (result.outcome == Outcome::NotFound && !context.wanted_reader.empty() && !readers.empty() &&
        std::find(readers.begin(), readers.end(), context.wanted_reader) == readers.end())
        return Hint::UnknownReader;

    if (result.outcome == Outcome::Failed)
        return Hint::ReadFailed;
    using Kind = card::ReaderCause::Kind;
    const std::optional<card::ReaderCause> cause = leading_cause(result.causes);
    if (!cause)
        return result.causes.empty() ? Hint::NoDongle : Hint::EmptyReaders;
    switch (cause->kind) {
        case Kind::CardInUse:
            return Hint::CardInUse;
        case Kind::ProfileUnusable:
            return Hint::ProfileUnusable;
        case Kind::OtherCard:
            return Hint::NotTheDongle;
        case Kind::Failed:
        case Kind::NoCard:
            break;
    }
    return cause->failure == card::PcscFailure::ServiceGone ? Hint::ServiceNotRunning
                                                            : Hint::NoDongle;
}

std::optional<card::ReaderCause> leading_cause(const std::vector<card::ReaderCause>& causes) {
    using Kind = card::ReaderCause::Kind;
    for (const Kind kind :
         {Kind::CardInUse, Kind::ProfileUnusable, Kind::OtherCard, Kind::Failed}) {
        const auto found =
            std::find_if(causes.begin(), causes.end(),
                         [kind](const card::ReaderCause& c) { return c.kind == kind; });
        if (found != causes.end())
            return *found;
    }
    return std::nullopt;
}

std::string cause_word(const ReadoutResult& result, Hint hint) {
    if (result.silent == ReadoutResult::Silent::Dongle)
        return "dongle_not_answering";
    switch (hint) {
        case Hint::None:
            return {};
        case Hint::NoPcscLibrary:
            return "no_pcsc_library";
        case Hint::ServiceNotRunning:
            return "service_not_running";
        case Hint::ServiceNotAnswering:
            return "service_not_answering";
        case Hint::NoReader:
            return "no_reader";
        case Hint::UnknownReader:
            return "unknown_reader";
        case Hint::NoDongle:
            return "no_dongle";
        case Hint::EmptyReaders:
            return card::reader_cause_word(card::ReaderCause::Kind::NoCard);
        case Hint::NotTheDongle:
            return card::reader_cause_word(card::ReaderCause::Kind::OtherCard);
        case Hint::ProfileUnusable:
            return card::reader_cause_word(card::ReaderCause::Kind::ProfileUnusable);
        case Hint::CardInUse:
            return card::reader_cause_word(card::ReaderCause::Kind::CardInUse);
        case Hint::CardRemoved:
            return "card_removed";
        case Hint::CardLost:
            return "card_lost";
        case Hint::ReadFailed:
            return "read_failed";
    }
    return {};
}

std::string hint_text(Hint hint, const HintContext& context) {
    switch (hint) {
        case Hint::None:
            return {};
        case Hint::NoPcscLibrary:
            return std::string("The PC/SC library ") + card::kPcscLibraryName +
                   " cannot be loaded: install pcsc-lite (sudo apt-get install pcscd "
                   "libpcsclite1).";
        case Hint::ServiceNotRunning:
            return "The PC/SC service is not running: start it with `sudo systemctl start "
                   "pcscd.socket` (or `sudo /usr/sbin/pcscd` where systemd does not run), then "
                   "try again.";
        case Hint::ServiceNotAnswering:
            return "The PC/SC service does not answer: restart it with `sudo systemctl restart "
                   "pcscd`, then try again.";
        case Hint::NoReader:
            return "No reader is attached: plug in the dongle (it is a reader of its own) and try "
                   "again.";
        case Hint::UnknownReader:
            return "There is no reader \"" + context.wanted_reader +
                   "\"; the readers are: " + quoted_list(context.readers) + ".";
        case Hint::NoDongle:
            // A reader named already is no advice to give.
            return "No dongle " + searched_readers(context) +
                   (context.wanted_reader.empty()
                        ? ". Plug in the dongle, or name its reader with --reader."
                        : ". Plug in the dongle.");
        case Hint::EmptyReaders:
            // Naming a reader would not help: no reader holds a card.
            return "No card " + searched_readers(context) + ". Plug in the dongle.";
        case Hint::NotTheDongle:
            return "The card in " + cause_reader(context) +
                   " is not a QEL dongle: take it out and put the dongle in.";
        case Hint::ProfileUnusable: {
            const card::ReaderCause& cause = context.cause.value_or(card::ReaderCause{});
            return "The card in " + cause_reader(context) +
                   " cannot be read by its profile: " + cause.file + " [" + cause.section + "] " +
                   cause.key + ": " + cause.problem + "; correct the line or remove the file.";
        }
        case Hint::CardInUse:
            return "The " + (context.cause ? "card in " + cause_reader(context) : "dongle") +
                   " is in use by another program: close it (on a Linux desktop, often GnuPG's "
                   "smart-card daemon: gpgconf --kill scdaemon) or wait until it lets the card "
                   "go, and try again; if no program holds it, unplug the dongle and plug it in "
                   "again.";
        case Hint::CardRemoved:
            return "The dongle was removed during the readout: plug it in again and repeat the "
                   "readout.";
        case Hint::CardLost:
            return "The dongle may have been pulled out, or lost by its reader, during the "
                   "readout: plug it in again and repeat the readout; if it keeps failing, the "
                   "dongle itself needs a check.";
        case Hint::ReadFailed:
            return "The dongle was found but did not answer as expected: plug it in again and "
                   "retry; if it keeps failing, the dongle itself needs a check.";
    }
    return {};
}

}  // namespace qel::app
