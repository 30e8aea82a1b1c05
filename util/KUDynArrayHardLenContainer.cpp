#include "KUDynArrayHardLenContainer.h"

#include "Hex.h"

namespace qel::util {

namespace {

void require_length(std::size_t offered, std::int32_t expected) {
    if (offered != static_cast<std::size_t>(expected)) {
        throw EKUDynArrayContainerException(kUnexpectedSizeError);
    }
}

}  // namespace

void TKUDynArrayHardLenContainer::SetAsBinaryString(const ByteString& value) {
    require_length(value.size(), GetLength());
    TKUDynArraySoftLenContainer::SetAsBinaryString(value);
}

void TKUDynArrayHardLenContainer::SetAsHexString(const std::string& text) {
    // The conversion goes first so that malformed text reports the even-length error.
    ByteArray bytes = from_hex(text);
    require_length(bytes.size(), GetLength());
    m_content = std::move(bytes);
}

void TKUDynArrayHardLenContainer::SetAsArray(const ByteArray& value) {
    require_length(value.size(), GetLength());
    TKUDynArraySoftLenContainer::SetAsArray(value);
}

}  // namespace qel::util
