#pragma once

#include <cstdint>

#include "util/Bytes.h"

namespace qel::gp {

class TKGPToolsUtils {
public:
    TKGPToolsUtils() = delete;

    // Copies `count` bytes between two arrays, in place; the destination keeps its length. A
    // count of -1 means the whole source, a count of 0 or below -1 copies nothing. A range
    // outside either array raises "Cannot safecopy array. Bounds error" and changes nothing.
    static void SafeCopyArray(const util::ByteArray& source, std::int32_t source_index,
                              util::ByteArray& destination, std::int32_t destination_index,
                              std::int32_t count);
};

}  // namespace qel::gp
