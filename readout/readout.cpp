#include "readout/readout.h"

#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "card/KSCardAPI.h"
#include "util/Exception.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

using Outcome = ReadoutResult::Outcome;

const std::string kNotFound = "Dongle can't be found: ";
const std::string kNotRead = "Dongle can't be read: ";

// A readout of the other program's takes tens of milliseconds.
constexpr std::chrono::milliseconds kHeldCardRetryStep{50};

// `line` made the label and the value in upper-case hex, at least `width` digits.
const std::string& hex_line(std::string& line, std::string_view label, unsigned value, int width) {
    return line.assign(label).append(util::hex_digits(value, width));
}

// The text of the exception being handled; only called inside a handler.
std::string current_failure_text() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown failure";
    }
}

void record_failure(ReadoutResult& result, Outcome outcome, std::string text,
                    std::exception_ptr cause) {
    result.outcome = outcome;
    result.failure = std::move(text);
    result.cause = std::move(cause);
}

// The three reads with their lines; false when the readout is to end early. Each line may hand
// control to the front end, which can stop the readout there and even empty the slot (a window
// closed in the line's message pump), so no command goes out after a line without a look at
// both.
bool read_values(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                 const ReadoutOptions& options, ReadoutResult& result) {
    const auto may_go_on = [&] { return !output.stopped() && dongle != nullptr; };
    const auto refuse_empty = [&](const char* value) {
        if (options.empty_answer_fails && dongle->last_answer_size() == 0)
            throw util::Exception(std::string("the dongle's answer to the ") + value +
                                  " command is empty");
    };
    dongle->reset_params();
    // One string serves the three lines, with room for the longest: one allocation for them all.
    std::string line;
    line.reserve(32);
    result.serial = dongle->read_serial();
    refuse_empty("serial number");
    output.add(line.assign("Serial No (S/N): ").append(result.serial));
    if (!may_go_on())
        return false;
    result.firmware = dongle->read_firmware_version();
    refuse_empty("firmware version");
    output.add(hex_line(line, "Firmware version: ", result.firmware, 4));
    if (!may_go_on())
        return false;
    result.error_word = dongle->read_error_code();
    refuse_empty("error code");
    // Only the low byte is the dongle's error; a zero there is no error, and no line.
    result.error_code = result.error_word & 0xFFu;
    if (result.error_code != 0) {
        output.add(hex_line(line, "Error Code: 0x", result.error_code, 2));
        if (!may_go_on())
            return false;
    }
    return true;
}

// Connects the dongle by its applet AID; a card that another program holds is tried again while
// the patience lasts. False with the slot still full: not found; with it empty: stopped.
bool connect_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                    const ReadoutOptions& options) {
    std::optional<std::chrono::steady_clock::time_point> give_up;
    while (!dongle->connect_by_aid(dongle->applet_aid, options.reader)) {
        const auto now = std::chrono::steady_clock::now();
        if (!give_up)
            give_up = now + options.held_card_patience;
        if (now >= *give_up || !card::met_held_card(dongle->causes()))
            return false;
        output.pause(kHeldCardRetryStep);
        if (output.stopped() || dongle == nullptr) {
            dongle.reset();
            return false;
        }
    }
    return true;
}

}  // namespace

void ReadoutOutput::pause(std::chrono::milliseconds time) {
    std::this_thread::sleep_for(time);
}

bool create_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                   ReadoutResult& result, SCARDCONTEXT context) {
    // A dongle left over from an earlier readout goes first, with its card and context.
    dongle.reset();
    try {
        dongle = std::make_unique<t_qel_sc_base>(context);
        return true;
    } catch (...) {
        record_failure(result, Outcome::NotFound, current_failure_text(), std::current_exception());
    }
    output.add_status(failure_line(result));
    return false;
}

bool find_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                 const ReadoutOptions& options, ReadoutResult& result) {
    output.add_status("Searching...");
    if (output.stopped()) {
        result.outcome = Outcome::Stopped;
        return false;
    }
    if (!create_dongle(dongle, output, result, options.context))
        return false;
    if (connect_dongle(dongle, output, options)) {
        result.reader = dongle->card->ReaderName;
        result.atr = dongle->card->ATR.GetArray();
        return true;
    }
    if (dongle == nullptr) {
        result.outcome = Outcome::Stopped;
        return false;
    }
    // The session keeps the connection's failure as its text, and what it met in each reader.
    record_failure(result, Outcome::NotFound, dongle->get_last_error(), nullptr);
    result.causes = dongle->causes();
    output.add_status(failure_line(result));
    dongle.reset();
    return false;
}

std::string failure_line(const ReadoutResult& result) {
    switch (result.outcome) {
        case Outcome::NotFound:
            return kNotFound + result.failure;
        case Outcome::Failed:
            return kNotRead + result.failure;
        default:
            return {};
    }
}

ReadoutResult fail_readout(ReadoutOutput& output, const std::string& reader, std::string text,
                           ReadoutResult::Silent silent, Outcome outcome) {
    ReadoutResult result;
    result.reader = reader;
    result.silent = silent;
    record_failure(result, outcome, std::move(text), nullptr);
    output.add_status(failure_line(result));
    return result;
}

ReadoutResult read_dongle(std::unique_ptr<t_qel_sc_base>& dongle, ReadoutOutput& output,
                          const ReadoutOptions& options) {
    ReadoutResult result;
    try {
        if (find_dongle(dongle, output, options, result)) {
            result.outcome =
                read_values(dongle, output, options, result) ? Outcome::Read : Outcome::Stopped;
        }
        dongle.reset();
        return result;
    } catch (...) {
        record_failure(result, Outcome::Failed, current_failure_text(), std::current_exception());
    }
    // The card is let go before anyone hears of the failure: a front end may keep its user
    // reading a message box for as long as it likes.
    dongle.reset();
    if (output.stopped()) {
        result.outcome = Outcome::Stopped;
        return result;
    }
    output.add_status(failure_line(result));
    return result;
}

}  // namespace qel::app
