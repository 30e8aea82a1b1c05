#pragma once

#include <cstdint>
#include <string>

#include "Bytes.h"
#include "Hex.h"

namespace qel::util {

class TKUDynArray {
public:
    TKUDynArray() = delete;

    // Hex text to bytes. Only 0-9, A-F and a-f count; everything else is dropped. An empty
    // text gives no bytes; fewer than two digits or an odd count raises the even-length error
    // and leaves `out` untouched.
    static void StringToByteStream(const std::string& text, ByteArray& out);

    // Two upper-case digits per byte, the separator between bytes only.
    static std::string ByteStreamToHexString(const ByteArray& bytes, const std::string& separator);

    static ByteString ByteStreamToString(const ByteArray& bytes);

    // Guarded copy into an existing array whose length never changes. A count of -1 means the
    // whole source; a count below 1 copies nothing. A range outside either side raises
    // "Cannot safecopy array. Bounds error" with raise_on_error, else returns silently.
    static void SafeCopy(const ByteString& source, std::int32_t source_index,
                         ByteArray& destination, std::int32_t destination_index, std::int32_t count,
                         bool raise_on_error);
};

void StringToByteStream(const std::string& text, ByteArray& out);
ByteString ByteStreamToString(const ByteArray& bytes);

inline constexpr const char* kSafeCopyBoundsError = "Cannot safecopy array. Bounds error";

}  // namespace qel::util
