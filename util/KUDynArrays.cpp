#include "KUDynArrays.h"

#include "BinString.h"
#include "ByteCopy.h"
#include "Exception.h"

namespace qel::util {

void TKUDynArray::StringToByteStream(const std::string& text, ByteArray& out) {
    out = from_hex(text);
}

std::string TKUDynArray::ByteStreamToHexString(const ByteArray& bytes,
                                               const std::string& separator) {
    return to_hex(bytes, separator);
}

ByteString TKUDynArray::ByteStreamToString(const ByteArray& bytes) {
    ByteString result(bytes.size(), '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        result[i] = TBinaryString::ByteToChar(bytes[i]);
    return result;
}

void TKUDynArray::SafeCopy(const ByteString& source, std::int32_t source_index,
                           ByteArray& destination, std::int32_t destination_index,
                           std::int32_t count, bool raise_on_error) {
    const std::int64_t n = count == -1 ? static_cast<std::int64_t>(source.size()) : count;
    if (n < 1)
        return;
    const bool copied =
        source_index >= 0 && destination_index >= 0 &&
        copy_checked(byte_span(source), static_cast<std::size_t>(source_index), destination,
                     static_cast<std::size_t>(destination_index), static_cast<std::size_t>(n));
    if (!copied && raise_on_error)
        throw Exception(kSafeCopyBoundsError);
}

void StringToByteStream(const std::string& text, ByteArray& out) {
    TKUDynArray::StringToByteStream(text, out);
}

ByteString ByteStreamToString(const ByteArray& bytes) {
    return TKUDynArray::ByteStreamToString(bytes);
}

}  // namespace qel::util
