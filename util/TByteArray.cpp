#include "TByteArray.h"

#include "ByteCopy.h"

namespace qel::util {

std::int32_t TTByteArray::CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                                            std::size_t destination_size, std::int32_t count,
                                            std::int32_t source_index,
                                            std::int32_t destination_index) {
    const std::int64_t n = count == 0 ? static_cast<std::int64_t>(source.size()) : count;
    if (n <= 0 || destination == nullptr || source_index < 0 || destination_index < 0)
        return 0;
    const bool copied = copy_checked(
        byte_span(source), static_cast<std::size_t>(source_index), {destination, destination_size},
        static_cast<std::size_t>(destination_index), static_cast<std::size_t>(n));
    return copied ? static_cast<std::int32_t>(n) : 0;
}

bool TTByteArray::BytesToString(const std::uint8_t* source, std::size_t source_size,
                                std::int32_t count, std::int32_t start, ByteString& out) {
    out.clear();
    const std::int64_t n = count == 0 ? static_cast<std::int64_t>(source_size) : count;
    // The size check goes first so that a count far beyond the buffer allocates nothing.
    if (n <= 0 || start < 0 || n > static_cast<std::int64_t>(source_size))
        return false;
    ByteString range(static_cast<std::size_t>(n), '\0');
    if (!copy_checked({source, source_size}, static_cast<std::size_t>(start), byte_span(range), 0,
                      static_cast<std::size_t>(n))) {
        return false;
    }
    out = std::move(range);
    return true;
}

std::int32_t CopyStringToBytes(const ByteString& source, std::uint8_t* destination,
                               std::size_t destination_size, std::int32_t count,
                               std::int32_t source_index, std::int32_t destination_index) {
    return TTByteArray::CopyStringToBytes(source, destination, destination_size, count,
                                          source_index, destination_index);
}

}  // namespace qel::util
