#include "KUDynArrays.h"

#include "BinString.h"
#include "Exception.h"
#include "KUStrUtils.h"

namespace qel::util {

namespace {

std::uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return static_cast<std::uint8_t>(c - 'A' + 10);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

void TKUDynArray::StringToByteStream(const std::string& text, ByteArray& out) {
    if (text.empty()) {
        out.clear();
        return;
    }
    static const CharSet hex_set = TKUStrUtils::MakeCharSet("0123456789ABCDEFabcdef");
    std::string digits;
    digits.reserve(text.size());
    for (char c : text) {
        if (TKUStrUtils::CharInSet(c, hex_set))
            digits.push_back(c);
    }
    if (digits.size() < 2 || digits.size() % 2 != 0)
        throw Exception(kEvenLengthError);

    ByteArray result(digits.size() / 2);
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] =
            static_cast<std::uint8_t>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
    }
    out = std::move(result);
}

std::string TKUDynArray::ByteStreamToHexString(const ByteArray& bytes,
                                               const std::string& separator) {
    std::string text;
    text.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text.push_back(kHexDigits[bytes[i] >> 4]);
        text.push_back(kHexDigits[bytes[i] & 0x0F]);
        if (i + 1 < bytes.size())
            text += separator;
    }
    return text;
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
    std::int64_t n = count;
    if (n == -1)
        n = static_cast<std::int64_t>(source.size());
    if (n < 1)
        return;
    const bool fits = source_index >= 0 && destination_index >= 0 &&
                      source_index + n <= static_cast<std::int64_t>(source.size()) &&
                      destination_index + n <= static_cast<std::int64_t>(destination.size());
    if (!fits) {
        if (raise_on_error)
            throw Exception(kSafeCopyBoundsError);
        return;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        destination[destination_index + i] = static_cast<std::uint8_t>(source[source_index + i]);
    }
}

void StringToByteStream(const std::string& text, ByteArray& out) {
    TKUDynArray::StringToByteStream(text, out);
}

ByteString ByteStreamToString(const ByteArray& bytes) {
    return TKUDynArray::ByteStreamToString(bytes);
}

}  // namespace qel::util
