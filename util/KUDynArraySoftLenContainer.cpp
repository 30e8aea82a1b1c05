#include "KUDynArraySoftLenContainer.h"

#include "Hex.h"
#include "KUDynArrays.h"

namespace qel::util {

TKUDynArraySoftLenContainer::TKUDynArraySoftLenContainer(std::int32_t length) {
    SetLength(length);
    if (length > 0)
        Fill(0, 0, length);
}

void TKUDynArraySoftLenContainer::SetAsBinaryString(const ByteString& value) {
    m_content.assign(value.begin(), value.end());
}

void TKUDynArraySoftLenContainer::SetAsHexString(const std::string& text) {
    m_content = from_hex(text);
}

void TKUDynArraySoftLenContainer::SetAsArray(const ByteArray& value) {
    m_content = value;
}

ByteString TKUDynArraySoftLenContainer::GetAsBinaryString() const {
    return TKUDynArray::ByteStreamToString(m_content);
}

std::string TKUDynArraySoftLenContainer::GetAsHexString() const {
    return to_hex(m_content);
}

void TKUDynArraySoftLenContainer::SetLength(std::int32_t length) {
    m_content.resize(length > 0 ? static_cast<std::size_t>(length) : 0, 0);
}

void TKUDynArraySoftLenContainer::Fill(std::uint8_t value, std::int32_t start, std::int32_t count) {
    if (start < 0 || static_cast<std::int64_t>(start) + count > GetLength()) {
        throw EKUDynArrayContainerException(kFillBoundsError);
    }
    for (std::int32_t i = 0; i < count; ++i)
        m_content[start + i] = value;
}

}  // namespace qel::util
