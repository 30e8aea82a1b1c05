#pragma once

#include <string>

#include "util/Bytes.h"
#include "util/KUDynArrays.h"

namespace qel::crypto::test {

inline util::ByteString bytes(const std::string& hex) {
    util::ByteArray array;
    util::StringToByteStream(hex, array);
    return util::ByteStreamToString(array);
}

inline std::string hex(const util::ByteString& data) {
    return util::TKUDynArray::ByteStreamToHexString(util::ByteArray(data.begin(), data.end()), "");
}

inline const std::uint8_t* u8(const util::ByteString& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

}  // namespace qel::crypto::test
