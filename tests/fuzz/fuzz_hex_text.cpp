// Every text-to-bytes conversion on any text: StringToByteStream (both entries), the containers'
// SetAsHexString (soft and fixed length), SELECT built from hex text, and the way back
// (ByteStreamToHexString with any separator, bytes_to_hex). Hex text -> bytes -> hex text must
// give the canonical form (the text's hex digits, upper case); a refused text leaves the target
// untouched and raises the even-length error. The guarded byte copies ride along: whatever the
// indices, they copy exactly what fits or refuse, and never touch memory outside.

#include <cstdint>
#include <string>
#include <vector>

#include "card/KSCardAPICardBase.h"
#include "card/KSCardAPIExceptions.h"
#include "card/UEKSCard.h"
#include "gp/GPCommandsBase.h"
#include "gp/GPToolsUtils.h"
#include "tests/fuzz/fuzz_support.h"
#include "util/KUDynArrayHardLenContainer.h"
#include "util/KUDynArrays.h"
#include "util/TByteArray.h"

namespace {

using namespace qel;
using namespace qel::fuzz;

// What the conversion must make of `text`: the bytes, or nothing when it must refuse.
std::optional<util::ByteArray> expected_bytes(const std::string& text) {
    if (text.empty())
        return util::ByteArray{};
    const std::string digits = canonical_hex(text);
    if (digits.size() < 2 || digits.size() % 2 != 0)
        return std::nullopt;
    util::ByteArray bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

void check_conversions(const std::string& text, std::int32_t fixed_length) {
    const auto expected = expected_bytes(text);
    const util::ByteArray sentinel{0xDE, 0xAD};

    for (int entry = 0; entry < 2; ++entry) {
        util::ByteArray out = sentinel;
        std::string error;
        const bool ok = guarded(
            "StringToByteStream",
            [&] {
                if (entry == 0)
                    util::StringToByteStream(text, out);
                else
                    util::TKUDynArray::StringToByteStream(text, out);
            },
            [&](const util::Exception& e) { error = e.message(); });
        QEL_FUZZ_CHECK(ok == expected.has_value());
        if (ok) {
            QEL_FUZZ_CHECK(out == *expected);
            QEL_FUZZ_CHECK(util::TKUDynArray::ByteStreamToHexString(out, "") ==
                           canonical_hex(text));
        } else {
            QEL_FUZZ_CHECK(error == util::kEvenLengthError);
            QEL_FUZZ_CHECK(out == sentinel);
        }
    }

    util::TKUDynArraySoftLenContainer soft(3);
    const bool soft_ok =
        guarded("TKUDynArraySoftLenContainer::SetAsHexString", [&] { soft.SetAsHexString(text); });
    QEL_FUZZ_CHECK(soft_ok == expected.has_value());
    if (soft_ok) {
        QEL_FUZZ_CHECK(soft.GetAsHexString() == canonical_hex(text));
        QEL_FUZZ_CHECK(soft.GetLength() == static_cast<std::int32_t>(expected->size()));
        QEL_FUZZ_CHECK(soft.GetAsBinaryString() == as_string(*expected));
    } else {
        QEL_FUZZ_CHECK(soft.GetArray() == util::ByteArray(3, 0));
    }

    util::TKUDynArrayHardLenContainer hard(fixed_length);
    const util::ByteArray before = hard.GetArray();
    std::string hard_error;
    const bool hard_ok = guarded(
        "TKUDynArrayHardLenContainer::SetAsHexString", [&] { hard.SetAsHexString(text); },
        [&](const util::Exception& e) { hard_error = e.message(); });
    const bool fits = expected && expected->size() == before.size();
    QEL_FUZZ_CHECK(hard_ok == fits);
    if (hard_ok) {
        QEL_FUZZ_CHECK(hard.GetArray() == *expected);
    } else {
        QEL_FUZZ_CHECK(hard.GetArray() == before);
        QEL_FUZZ_CHECK(hard_error ==
                       (expected ? util::kUnexpectedSizeError : util::kEvenLengthError));
    }

    util::ByteArray select{0x01};
    std::string select_error;
    const bool select_ok = guarded(
        "TKGPCommandsBase::BuildSelectHex",
        [&] { gp::TKGPCommandsBase::BuildSelectHex(text, select); },
        [&](const util::Exception& e) { select_error = e.message(); });
    QEL_FUZZ_CHECK(select_ok == (expected && expected->size() <= card::kMaxCommandDataLength));
    if (select_ok) {
        util::ByteArray want{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(expected->size())};
        want.insert(want.end(), expected->begin(), expected->end());
        QEL_FUZZ_CHECK(select == want);
    } else {
        QEL_FUZZ_CHECK(select == util::ByteArray{0x01});
        if (!expected)
            QEL_FUZZ_CHECK(select_error == util::kEvenLengthError);
    }
}

// Bytes to text with any separator; without hex digits in the separator the text reads back.
void check_writers(const util::ByteArray& bytes, const std::string& separator, unsigned count) {
    const std::string text = util::TKUDynArray::ByteStreamToHexString(bytes, separator);
    std::string want;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        want += to_hex({bytes[i]});
        if (i + 1 < bytes.size())
            want += separator;
    }
    QEL_FUZZ_CHECK(text == want);
    if (canonical_hex(separator).empty()) {
        util::ByteArray back;
        const bool ok =
            guarded("StringToByteStream", [&] { util::StringToByteStream(text, back); });
        QEL_FUZZ_CHECK(ok && back == bytes);
    }

    const util::ByteString raw = as_string(bytes);
    const std::size_t shown = count == 0 || count > raw.size() ? raw.size() : count;
    QEL_FUZZ_CHECK(card::bytes_to_hex(raw, count) ==
                   to_hex(util::ByteArray(bytes.begin(), bytes.begin() + shown)));
    std::uint64_t value = 0;
    for (std::uint8_t b : bytes)
        value = value << 8 | b;
    QEL_FUZZ_CHECK(card::bytes_to_uint64(raw) == (bytes.size() > 8 ? 0 : value));
}

// Copies of `count` bytes between two arrays at any indices: all or nothing.
void check_copies(FuzzedDataProvider& in, const util::ByteArray& source) {
    const auto source_index = in.ConsumeIntegral<std::int32_t>() % 64;
    const auto destination_index = in.ConsumeIntegral<std::int32_t>() % 64;
    auto count = in.ConsumeIntegral<std::int32_t>();
    if (in.ConsumeBool())
        count %= 64;
    const std::size_t destination_size = in.ConsumeIntegralInRange<std::size_t>(0, 48);
    const util::ByteString text = as_string(source);

    const auto fits = [&](std::int64_t n) {
        return source_index >= 0 && destination_index >= 0 &&
               source_index + n <= static_cast<std::int64_t>(source.size()) &&
               destination_index + n <= static_cast<std::int64_t>(destination_size);
    };
    const auto copied_into = [&](const util::ByteArray& original, std::int64_t n) {
        util::ByteArray want = original;
        for (std::int64_t i = 0; i < n; ++i)
            want[destination_index + i] = source[source_index + i];
        return want;
    };
    const util::ByteArray original(destination_size, 0x5A);

    // SafeCopy: -1 is the whole source, below 1 copies nothing.
    {
        const std::int64_t n = count == -1 ? static_cast<std::int64_t>(source.size()) : count;
        for (bool raise : {false, true}) {
            util::ByteArray destination = original;
            const bool ok = guarded("TKUDynArray::SafeCopy", [&] {
                util::TKUDynArray::SafeCopy(text, source_index, destination, destination_index,
                                            count, raise);
            });
            if (n < 1) {
                QEL_FUZZ_CHECK(ok && destination == original);
            } else if (fits(n)) {
                QEL_FUZZ_CHECK(ok && destination == copied_into(original, n));
            } else {
                QEL_FUZZ_CHECK(ok != raise && destination == original);
            }
        }
    }
    // SafeCopyArray: -1 is the whole source, 0 or below -1 copies nothing.
    {
        const std::int64_t n = count == -1 ? static_cast<std::int64_t>(source.size()) : count;
        util::ByteArray destination = original;
        const bool ok = guarded("TKGPToolsUtils::SafeCopyArray", [&] {
            gp::TKGPToolsUtils::SafeCopyArray(source, source_index, destination, destination_index,
                                              count);
        });
        if (n < 1 && source_index >= 0 && destination_index >= 0) {
            QEL_FUZZ_CHECK(destination == original);
        } else if (n >= 1 && fits(n)) {
            QEL_FUZZ_CHECK(ok && destination == copied_into(original, n));
        } else if (n >= 1) {
            QEL_FUZZ_CHECK(!ok && destination == original);
        } else {
            QEL_FUZZ_CHECK(destination == original);
        }
    }
    // CopyStringToBytes: 0 is the whole source; refused ranges copy nothing and give 0.
    {
        const std::int64_t n = count == 0 ? static_cast<std::int64_t>(source.size()) : count;
        // An exact-size heap buffer, so that a write past its end is seen.
        std::vector<std::uint8_t> destination(original);
        std::int32_t copied = -1;
        guarded("CopyStringToBytes", [&] {
            copied = util::CopyStringToBytes(text, destination.data(), destination.size(), count,
                                             source_index, destination_index);
        });
        if (n > 0 && fits(n)) {
            QEL_FUZZ_CHECK(copied == n && destination == copied_into(original, n));
        } else {
            QEL_FUZZ_CHECK(copied == 0 && destination == original);
        }
    }
    // BytesToString: 0 is the whole buffer; false with an empty result otherwise.
    {
        const std::int64_t n = count == 0 ? static_cast<std::int64_t>(source.size()) : count;
        util::ByteString out = "x";
        bool ok = false;
        guarded("TTByteArray::BytesToString", [&] {
            ok = util::TTByteArray::BytesToString(source.data(), source.size(), count, source_index,
                                                  out);
        });
        const bool in_range = n > 0 && source_index >= 0 &&
                              source_index + n <= static_cast<std::int64_t>(source.size());
        QEL_FUZZ_CHECK(ok == in_range);
        QEL_FUZZ_CHECK(out == (ok ? text.substr(source_index, n) : ""));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto fixed_length = in.ConsumeIntegralInRange<std::int32_t>(-2, 40);
    const std::string separator = in.ConsumeRandomLengthString(4);
    const auto count = in.ConsumeIntegralInRange<unsigned>(0, 20);
    const util::ByteArray bytes = consume_bytes(in, 300);
    check_writers(bytes, separator, count);
    check_copies(in, bytes);
    check_conversions(in.ConsumeRemainingBytesAsString(), fixed_length);
    return 0;
}
