#pragma once

// A readout's fields as members of a JSON object, for the outputs of qel_cli that write JSON.

#include <nlohmann/json.hpp>

#include "readout/readout_fields.h"

namespace qel::app {

// Adds each field of readout_fields() that has a key and a value, texts as UTF-8 (as_utf8).
void add_readout_members(nlohmann::ordered_json& object, const ReadoutRecord& record);

}  // namespace qel::app
