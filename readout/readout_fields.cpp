#include "readout/readout_fields.h"

#include "readout/exit_status.h"
#include "readout/outside_text.h"
#include "util/Hex.h"

namespace qel::app {

namespace {

using Outcome = ReadoutResult::Outcome;
using Value = std::optional<std::string>;

bool read(const ReadoutRecord& record) {
    return record.result.outcome == Outcome::Read;
}

Value outcome(const ReadoutRecord& record) {
    switch (record.result.outcome) {
        case Outcome::Read:
            return "read";
        case Outcome::NotFound:
            return "not_found";
        case Outcome::Failed:
            return "failed";
        case Outcome::Stopped:
            break;
    }
    return std::nullopt;
}

Value reader(const ReadoutRecord& record) {
    // A search over every reader that found no dongle has no reader to name; a readout always
    // has one.
    return record.reader.empty() && !read(record) ? Value() : record.reader;
}

Value atr(const ReadoutRecord& record) {
    return record.result.atr.empty() ? Value() : util::to_hex(record.result.atr);
}

Value serial(const ReadoutRecord& record) {
    return read(record) ? Value(record.result.serial) : Value();
}

Value firmware(const ReadoutRecord& record) {
    return read(record) ? Value(util::hex_digits(record.result.firmware, 4)) : Value();
}

Value error_code(const ReadoutRecord& record) {
    return read(record) ? Value(std::to_string(record.result.error_code)) : Value();
}

// The lines of a multi-line failure as a Linux program writes them, joined with LF.
Value failure(const ReadoutRecord& record) {
    return read(record) ? Value() : Value(lf_line_ends(record.result.failure));
}

Value exit(const ReadoutRecord& record) {
    return read(record) ? Value() : Value(std::to_string(exit_status(record.result)));
}

Value cause(const ReadoutRecord& record) {
    return read(record) || record.cause.empty() ? Value() : record.cause;
}

Value hint(const ReadoutRecord& record) {
    return read(record) || record.hint.empty() ? Value() : record.hint;
}

std::string said_firmware(const std::string& value) {
    return "firmware " + value;
}

std::string said_error_code(const std::string& value) {
    return "error code 0x" + util::hex_digits(static_cast<unsigned>(std::stoul(value)), 2);
}

std::string said_atr(const std::string& value) {
    return "ATR " + value;
}

}  // namespace

const std::vector<ReadoutField>& readout_fields() {
    static const std::vector<ReadoutField> fields{
        {nullptr, "QEL_OUTCOME", false, outcome},
        {"reader", "QEL_READER", false, reader},
        {"serial", "QEL_SERIAL", false, serial},
        {"firmware", "QEL_FIRMWARE", false, firmware, said_firmware},
        {"error_code", "QEL_ERROR_CODE", true, error_code, said_error_code},
        {"atr", "QEL_ATR", false, atr, said_atr},
        {"error", "QEL_FAILURE", false, failure},
        {"exit", nullptr, true, exit},
        {"cause", "QEL_CAUSE", false, cause},
        {nullptr, "QEL_HINT", false, hint},
    };
    return fields;
}

std::string readout_sentence(const ReadoutRecord& record) {
    std::string sentence = "Dongle " + record.result.serial + " read in \"" + record.reader + "\"";
    const char* joint = ": ";
    for (const ReadoutField& field : readout_fields()) {
        if (field.said == nullptr)
            continue;
        if (const std::optional<std::string> value = field.value(record)) {
            sentence.append(joint).append(field.said(*value));
            joint = ", ";
        }
    }
    return sentence;
}

}  // namespace qel::app
