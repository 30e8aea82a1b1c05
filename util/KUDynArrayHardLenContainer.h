#pragma once

#include "KUDynArraySoftLenContainer.h"

namespace qel::util {

// Keeps the length it was created with and refuses content of any other length.
class TKUDynArrayHardLenContainer : public TKUDynArraySoftLenContainer {
public:
    using TKUDynArraySoftLenContainer::TKUDynArraySoftLenContainer;

    void SetAsBinaryString(const ByteString& value) override;
    void SetAsHexString(const std::string& text) override;
    void SetAsArray(const ByteArray& value) override;
};

}  // namespace qel::util
