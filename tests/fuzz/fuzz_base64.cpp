// Base64 both ways on any input: encoding then decoding gives the bytes back, the encoding is
// canonical (alphabet, padding, length), and decoding any text either raises EKC_cipher or gives
// bytes whose encoding decodes to the same bytes again, as many as the complete groups hold.

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/base64.h"
#include "crypto/cipher.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace qel;
using namespace qel::fuzz;

bool in_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

void check_encoding(std::string_view bytes) {
    std::string text;
    guarded("base64_encode", [&] { text = crypto::base64_encode(bytes); });
    QEL_FUZZ_CHECK(text.size() == (bytes.size() + 2) / 3 * 4);
    const std::size_t pads = bytes.size() % 3 == 0 ? 0 : 3 - bytes.size() % 3;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i + pads >= text.size())
            QEL_FUZZ_CHECK(text[i] == '=');
        else
            QEL_FUZZ_CHECK(in_alphabet(text[i]));
    }
    util::ByteString back;
    const bool ok = guarded("base64_decode", [&] { back = crypto::base64_decode(text); });
    QEL_FUZZ_CHECK(ok && back == bytes);
}

void check_decoding(std::string_view text) {
    util::ByteString bytes;
    std::string error;
    const bool ok = guarded(
        "base64_decode", [&] { bytes = crypto::base64_decode(text); },
        [&](const util::Exception& e) {
            QEL_FUZZ_CHECK(dynamic_cast<const crypto::EKC_cipher*>(&e) != nullptr);
            error = e.message();
        });
    const std::size_t groups = text.size() / 4;
    // Only complete groups count; a character outside the alphabet in one is refused.
    bool clean = true;
    std::size_t pads = 0;
    for (std::size_t i = 0; i < groups * 4; ++i) {
        if (text[i] == '=')
            ++pads;
        else if (!in_alphabet(text[i]) || pads != 0)
            clean = false;
    }
    // Padding only at the very end, at most two: anything else is refused.
    QEL_FUZZ_CHECK(ok == (clean && pads <= 2));
    if (!ok) {
        QEL_FUZZ_CHECK(error == crypto::kInvalidBase64Text);
        return;
    }
    QEL_FUZZ_CHECK(bytes.size() == groups * 3 - pads);
    // A text with stray bits in its last character decodes like the canonical one.
    std::string again;
    guarded("base64_encode", [&] { again = crypto::base64_encode(bytes); });
    util::ByteString twice;
    QEL_FUZZ_CHECK(guarded("base64_decode", [&] { twice = crypto::base64_decode(again); }));
    QEL_FUZZ_CHECK(twice == bytes);
    // Canonical text is given back as it came.
    if (again.size() == groups * 4 && again.compare(0, again.size(), text, 0, groups * 4) != 0) {
        // Only the bits the padding drops may differ: the last data character of the last group.
        const std::size_t last = groups * 4 - 1 - pads;
        QEL_FUZZ_CHECK(pads > 0);
        QEL_FUZZ_CHECK(again.compare(0, last, text, 0, last) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_encoding(input);
    check_decoding(input);
    return 0;
}
