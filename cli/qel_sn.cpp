#include "cli/qel_sn.h"

#include <nlohmann/json.hpp>

#include "cli/readout_json.h"

namespace qel::app {

std::string no_answer_text(unsigned seconds) {
    return "no answer from the dongle within " + std::to_string(seconds) + " s";
}

std::string no_service_answer_text(unsigned seconds) {
    return "no answer from the PC/SC service within " + std::to_string(seconds) + " s";
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

}  // namespace qel::app
