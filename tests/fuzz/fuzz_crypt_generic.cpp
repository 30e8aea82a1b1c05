// The crypt wrapper with any key, data, direction and chaining: the documented refusals (a
// direction or chaining other than 0 and 1, a key of 0 or more than 8 bytes) with the data left
// in the result, data that is not whole blocks handed back unchanged, everything else equal to
// single DES (ECB or CBC, zero vector) computed by OpenSSL, decryption undoing encryption, and the
// same answer when the result is the key's or the data's own string. The padding helpers ride
// along.

#include <openssl/des.h>

#include <cstdint>
#include <optional>
#include <string>

#include "crypto/cipher.h"
#include "crypto/crypt_generic.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using crypto::TCryptGeneric;

util::ByteString reference(const util::ByteString& key, const util::ByteString& data, bool encrypt,
                           bool cbc) {
    DES_cblock key_block{};
    std::copy(key.begin(), key.end(), key_block);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key_block, &schedule);
    util::ByteString out(data.size(), '\0');
    util::ByteString source = data;  // OpenSSL's block type drops the const
    auto* in = reinterpret_cast<unsigned char*>(source.data());
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    if (cbc) {
        DES_cblock iv{};
        DES_ncbc_encrypt(in, dst, static_cast<long>(data.size()), &schedule, &iv,
                         encrypt ? DES_ENCRYPT : DES_DECRYPT);
    } else {
        for (std::size_t i = 0; i < data.size(); i += 8) {
            DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(in + i),
                            reinterpret_cast<DES_cblock*>(dst + i), &schedule,
                            encrypt ? DES_ENCRYPT : DES_DECRYPT);
        }
    }
    return out;
}

// The wrapper's answer, or nullopt when it refused; the result string must then hold the data.
std::optional<util::ByteString> crypt(const util::ByteString& key, const util::ByteString& data,
                                      std::uint8_t direction, std::uint8_t chaining,
                                      std::string* error = nullptr) {
    util::ByteString result = "previous";
    const bool ok = guarded(
        "TCryptGeneric::crypt",
        [&] { TCryptGeneric::crypt(key, data, direction, chaining, result); },
        [&](const util::Exception& e) {
            QEL_FUZZ_CHECK(dynamic_cast<const crypto::EKC_cipher*>(&e) != nullptr);
            if (error != nullptr)
                *error = e.message();
        });
    if (!ok) {
        QEL_FUZZ_CHECK(result == data);
        return std::nullopt;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    // Mostly the two documented values, sometimes any byte.
    auto direction = in.ConsumeIntegral<std::uint8_t>();
    auto chaining = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool()) {
        direction &= 1;
        chaining &= 1;
    }
    const util::ByteString key = as_string(consume_bytes(in, 30));
    const auto block = in.ConsumeIntegral<std::int32_t>();
    const auto filler = in.ConsumeIntegral<std::uint8_t>();
    util::ByteString data = in.ConsumeRemainingBytesAsString();
    if (!data.empty() && data.size() % 8 != 0 && (bytes[0] & 0x80) != 0) {
        // Whole blocks are where the work is; reach them often.
        data = crypto::pad_to_block(data, 8, filler);
    }

    std::string error;
    const auto result = crypt(key, data, direction, chaining, &error);
    if (direction > 1 || chaining > 1) {
        QEL_FUZZ_CHECK(!result);
        QEL_FUZZ_CHECK(error.find(direction > 1 ? "direction" : "chaining") != std::string::npos);
        return 0;
    }
    if (data.empty() || data.size() % 8 != 0) {
        QEL_FUZZ_CHECK(result && *result == data);
        return 0;
    }
    if (key.empty() || key.size() > 8) {
        QEL_FUZZ_CHECK(!result && error == crypto::kInvalidKeySize);
        return 0;
    }
    QEL_FUZZ_CHECK(result.has_value());
    QEL_FUZZ_CHECK(*result == reference(key, data, direction == 0, chaining == 1));
    // The other direction undoes it.
    QEL_FUZZ_CHECK(crypt(key, *result, direction ^ 1, chaining) == data);

    // The result may be the data's or the key's own string.
    util::ByteString shared = data;
    QEL_FUZZ_CHECK(guarded("TCryptGeneric::crypt (result is data)", [&] {
        TCryptGeneric::crypt(key, shared, direction, chaining, shared);
    }));
    QEL_FUZZ_CHECK(shared == *result);
    shared = key;
    QEL_FUZZ_CHECK(guarded("TCryptGeneric::crypt (result is key)", [&] {
        TCryptGeneric::crypt(shared, data, direction, chaining, shared);
    }));
    QEL_FUZZ_CHECK(shared == *result);

    // Padding helpers.
    // Small block sizes only here: a huge one asks for gigabytes of filler, as documented.
    const std::int32_t pad_block = block % 70;
    const util::ByteString padded = crypto::pad_to_block(data.substr(1), pad_block, filler);
    if (pad_block <= 0) {
        QEL_FUZZ_CHECK(padded == data.substr(1));
    } else {
        QEL_FUZZ_CHECK(padded.size() % static_cast<std::size_t>(pad_block) == 0);
        QEL_FUZZ_CHECK(padded.compare(0, data.size() - 1, data, 1) == 0);
        QEL_FUZZ_CHECK(padded.size() - (data.size() - 1) < static_cast<std::size_t>(pad_block));
        for (std::size_t i = data.size() - 1; i < padded.size(); ++i)
            QEL_FUZZ_CHECK(static_cast<std::uint8_t>(padded[i]) == filler);
    }
    const auto value = static_cast<std::uint32_t>(data.size() * 0x01000193u);
    const auto b = static_cast<std::uint32_t>(block);
    const std::uint32_t rounded = crypto::round_up_to_block(value, b);
    if (b == 0) {
        QEL_FUZZ_CHECK(rounded == value);
    } else {
        const std::uint64_t want = (std::uint64_t{value} + b - 1) / b * b;
        QEL_FUZZ_CHECK(rounded == static_cast<std::uint32_t>(want));
    }
    return 0;
}
