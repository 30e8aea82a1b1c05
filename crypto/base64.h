#pragma once

#include <string>
#include <string_view>

#include "util/Bytes.h"

namespace qel::crypto {

// Base64 with the standard alphabet and "=" padding.
std::string base64_encode(std::string_view bytes);

// Decodes complete groups of four characters; an incomplete last group is ignored. A
// character outside the alphabet, or padding anywhere but at the end of the last complete
// group, raises EKC_cipher "Invalid Base64 text".
util::ByteString base64_decode(std::string_view text);

}  // namespace qel::crypto
