#include "app/qel_sn.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <nlohmann/json.hpp>

#include "app/readout_json.h"

#include "app/version.h"
#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "card/WinSCard.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none. Overlong
// forms, surrogates and code points past U+10FFFF count as invalid, as JSON parsers refuse them.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        // Only the byte after the lead has the narrowed range.
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

std::string hex_escape(unsigned char byte) {
    const std::uint8_t bytes[] = {byte};
    return "\\x" + util::to_hex(bytes);
}

// What becomes of the line breaks of a multi-line text from outside.
enum class LineBreaks {
    Joined,  // CR LF, LF and CR alike: "; " between two lines, none at the end
    Lf,      // CR LF becomes LF; a lone CR or LF is a control like any other
};

// The one rule for a text from outside the program on a terminal (see error_line).
std::string escaped(std::string_view text, LineBreaks breaks) {
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool crlf = byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (breaks == LineBreaks::Joined && (byte == '\r' || byte == '\n')) {
            i += crlf ? 2 : 1;
            if (i < text.size())
                line += "; ";
        } else if (breaks == LineBreaks::Lf && crlf) {
            line += '\n';
            i += 2;
        } else if (byte < 0x20 || byte == 0x7F) {
            line += hex_escape(byte);
            ++i;
        } else if (byte < 0x80) {
            line += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = utf8_sequence_length(text, i); length == 0) {
            // No UTF-8: a terminal that takes bytes as Latin-1 obeys 80 to 9F (9B is its CSI).
            line += byte <= 0x9F ? hex_escape(byte) : std::string(1, static_cast<char>(byte));
            ++i;
        } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: a terminal that reads UTF-8 takes them for control codes.
            line += hex_escape(byte) + hex_escape(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            // Continuation bytes in the range of C1 belong to their character.
            line.append(text.substr(i, length));
            i += length;
        }
    }
    return line;
}

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

std::string no_answer_text(unsigned seconds) {
    return "no answer from the dongle within " + std::to_string(seconds) + " s";
}

std::string no_service_answer_text(unsigned seconds) {
    return "no answer from the PC/SC service within " + std::to_string(seconds) + " s";
}

std::string error_line(std::string_view text) {
    return escaped(text, LineBreaks::Joined);
}

std::string version_text(const std::string& program) {
    return program_version(program) + "\n";
}

int exit_status(const ReadoutResult& result) {
    switch (result.outcome) {
        case ReadoutResult::Outcome::Read:
            return kExitRead;
        case ReadoutResult::Outcome::NotFound:
            return kExitNotFound;
        case ReadoutResult::Outcome::Failed:
        case ReadoutResult::Outcome::Stopped:
            break;
    }
    return kExitFailed;
}

int worse_exit_status(int a, int b) {
    return std::max(a, b);
}

std::string terminal_line(const std::string& line) {
    return escaped(line, LineBreaks::Lf) + '\n';
}

std::string lf_line_ends(std::string_view text) {
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        lines += text[i];
    }
    return lines;
}

std::string as_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence_length(text, i);
        if (length == 0) {
            // Latin-1: the character of the byte's value, U+0080 to U+00FF, in two bytes.
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
            ++i;
        } else {
            utf8.append(text.substr(i, length));
            i += length;
        }
    }
    return utf8;
}

std::string json_string(std::string_view text) {
    return nlohmann::json(as_utf8(text)).dump();
}

std::string iso8601_utc(std::time_t when) {
    std::tm utc{};
    if (::gmtime_r(&when, &utc) == nullptr)
        return {};
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, n);
}

std::string readout_json(const ReadoutResult& result, const std::string& reader, std::time_t when,
                         std::string_view cause) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    add_readout_members(
        json, {result, result.reader.empty() ? reader : result.reader, std::string(cause)});
    json["time"] = iso8601_utc(when);
    return json.dump();
}

void add_readout_members(nlohmann::ordered_json& object, const ReadoutRecord& record) {
    for (const ReadoutField& field : readout_fields()) {
        if (field.json == nullptr)
            continue;
        const std::optional<std::string> value = field.value(record);
        if (!value)
            continue;
        if (field.number)
            object[field.json] = std::stoull(*value);
        else
            object[field.json] = as_utf8(*value);
    }
}

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
                   "pcscd.socket`, "
                   "or run `pcscd` by hand, then try again.";
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
