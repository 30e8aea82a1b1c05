#pragma once

#include <cstdint>
#include <string>

#include "Bytes.h"
#include "Exception.h"

namespace qel::util {

class EKUDynArrayContainerException : public Exception {
public:
    using Exception::Exception;
};

// Holds the byte members of card objects and profiles (ATR, AID, keys, serial) and converts
// between byte string, hex text and byte array. Its length follows whatever is assigned.
class TKUDynArraySoftLenContainer {
public:
    explicit TKUDynArraySoftLenContainer(std::int32_t length = 0);
    virtual ~TKUDynArraySoftLenContainer() = default;

    TKUDynArraySoftLenContainer(const TKUDynArraySoftLenContainer&) = default;
    TKUDynArraySoftLenContainer& operator=(const TKUDynArraySoftLenContainer&) = default;

    virtual void SetAsBinaryString(const ByteString& value);
    virtual void SetAsHexString(const std::string& text);
    virtual void SetAsArray(const ByteArray& value);

    ByteString GetAsBinaryString() const;
    std::string GetAsHexString() const;

    // The content itself, not a copy: writes through the reference change the container.
    ByteArray& GetArray() { return m_content; }
    const ByteArray& GetArray() const { return m_content; }

    std::int32_t GetLength() const { return static_cast<std::int32_t>(m_content.size()); }
    void SetLength(std::int32_t length);
    void Fill(std::uint8_t value, std::int32_t start, std::int32_t count);

protected:
    ByteArray m_content;
};

inline constexpr const char* kFillBoundsError = "Cannot fill array. Bounds error";
inline constexpr const char* kUnexpectedSizeError = "Incoming array is not of expected size!";

}  // namespace qel::util
