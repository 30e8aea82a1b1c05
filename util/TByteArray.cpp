#include "TByteArray.h"

#include "BinString.h"

namespace qel::util {

std::int32_t TTByteArray::CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                                            std::size_t destination_size, std::int32_t count,
                                            std::int32_t source_index,
                                            std::int32_t destination_index) {
    std::int64_t n = count;
    if (n == 0)
        n = static_cast<std::int64_t>(source.size());
    if (n <= 0)
        return 0;
    const bool fits = destination != nullptr && source_index >= 0 && destination_index >= 0 &&
                      source_index + n <= static_cast<std::int64_t>(source.size()) &&
                      destination_index + n <= static_cast<std::int64_t>(destination_size);
    if (!fits)
        return 0;
    for (std::int64_t i = 0; i < n; ++i) {
        destination[destination_index + i] = static_cast<std::uint8_t>(source[source_index + i]);
    }
    return static_cast<std::int32_t>(n);
}

bool TTByteArray::BytesToString(const std::uint8_t* source, std::size_t source_size,
                                std::int32_t count, std::int32_t start, ByteString& out) {
    out.clear();
    std::int64_t n = count;
    if (n == 0)
        n = static_cast<std::int64_t>(source_size);
    if (n <= 0 || start < 0)
        return false;
    if (start > static_cast<std::int64_t>(source_size) ||
        start + n > static_cast<std::int64_t>(source_size)) {
        return false;
    }
    out.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i)
        out[i] = TBinaryString::ByteToChar(source[start + i]);
    return true;
}

std::int32_t CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                               std::size_t destination_size, std::int32_t count,
                               std::int32_t source_index, std::int32_t destination_index) {
    return TTByteArray::CopyStringToBytes(source, destination, destination_size, count,
                                          source_index, destination_index);
}

}  // namespace qel::util
