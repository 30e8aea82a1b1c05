#pragma once

#include <cstddef>
#include <cstdint>

#include "Bytes.h"

namespace qel::util {

class TTByteArray {
public:
    TTByteArray() = delete;

    // Copies `count` bytes of `source` from `source_index` into a caller's buffer of
    // `destination_size` bytes at `destination_index`; a count of 0 means the whole source.
    // Returns the number of bytes copied. A range that does not fit the source or the
    // destination is refused as a whole: nothing is copied and the result is 0, so the buffer
    // is never written outside and the source never read past its end.
    static std::int32_t CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                                          std::size_t destination_size, std::int32_t count,
                                          std::int32_t source_index,
                                          std::int32_t destination_index);

    // A range of a buffer as a byte string; a count of 0 means the whole buffer. False, with
    // `out` empty, for an empty range or one past the end.
    static bool BytesToString(const std::uint8_t* source, std::size_t source_size,
                              std::int32_t count, std::int32_t start, ByteString& out);
};

std::int32_t CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                               std::size_t destination_size, std::int32_t count,
                               std::int32_t source_index, std::int32_t destination_index);

}  // namespace qel::util
