#include "tools/virtual_dongle.h"

#include <openssl/crypto.h>
#include <openssl/des.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace qel::vcard {

namespace {

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::uint16_t kSwWrongLength = 0x6700;
constexpr std::uint16_t kSwConditionsNotSatisfied = 0x6985;
constexpr std::uint16_t kSwWrongData = 0x6A80;
constexpr std::uint16_t kSwFileNotFound = 0x6A82;
constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
constexpr std::uint16_t kSwDataNotFound = 0x6A88;
constexpr std::uint16_t kSwInsNotSupported = 0x6D00;
constexpr std::uint16_t kSwClaNotSupported = 0x6E00;

constexpr std::size_t kDesBlock = 8;
// The largest answer T=0 can announce: 61 00 and 6C 00 stand for 256 bytes.
constexpr std::size_t kMaxShortAnswer = 256;

bool starts_with(const ByteArray& bytes, const ByteArray& prefix) {
    return prefix.size() <= bytes.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

ByteArray status_only(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw & 0xFF)};
}

std::uint8_t length_byte(std::size_t length) {
    return static_cast<std::uint8_t>(length & 0xFF);
}

bool is_plain_p1(std::uint8_t p1) {
    return p1 == 0x28 || p1 == 0x34 || p1 == 0x38 || p1 == 0x62 || p1 == 0x9C;
}

// Single DES in CBC mode with an all-zero IV; the length is a multiple of the block size.
ByteArray des_cbc(const ByteArray& key, const ByteArray& in, bool encrypt) {
    DES_cblock key_block;
    std::memcpy(key_block, key.data(), kDesBlock);
    DES_key_schedule schedule;
    // The dongle does not care for DES parity bits, so neither does its stand-in.
    DES_set_key_unchecked(&key_block, &schedule);

    ByteArray out(in.size());
    DES_cblock chain{};
    for (std::size_t offset = 0; offset < in.size(); offset += kDesBlock) {
        DES_cblock block;
        DES_cblock result;
        std::memcpy(block, in.data() + offset, kDesBlock);
        if (encrypt) {
            for (std::size_t i = 0; i < kDesBlock; ++i)
                block[i] ^= chain[i];
            DES_ecb_encrypt(&block, &result, &schedule, DES_ENCRYPT);
            std::memcpy(chain, result, kDesBlock);
        } else {
            DES_ecb_encrypt(&block, &result, &schedule, DES_DECRYPT);
            for (std::size_t i = 0; i < kDesBlock; ++i)
                result[i] ^= chain[i];
            std::memcpy(chain, block, kDesBlock);
        }
        std::memcpy(out.data() + offset, result, kDesBlock);
    }
    OPENSSL_cleanse(&schedule, sizeof schedule);
    OPENSSL_cleanse(key_block, sizeof key_block);
    return out;
}

}  // namespace

enum class IsoCase { One, Two, Three, Four };

struct VirtualDongle::Apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    IsoCase iso_case = IsoCase::One;
    ByteArray data;
    std::size_t le = 0;  // 1..256 for cases 2 and 4

    // Short APDUs only; anything else is not a well-formed command.
    static std::optional<Apdu> parse(const ByteArray& bytes) {
        if (bytes.size() < 4)
            return std::nullopt;
        Apdu apdu;
        apdu.cla = bytes[0];
        apdu.ins = bytes[1];
        apdu.p1 = bytes[2];
        apdu.p2 = bytes[3];
        if (bytes.size() == 4)
            return apdu;
        if (bytes.size() == 5) {
            apdu.iso_case = IsoCase::Two;
            apdu.le = bytes[4] == 0 ? 256 : bytes[4];
            return apdu;
        }
        const std::size_t lc = bytes[4];
        if (lc == 0)
            return std::nullopt;  // an extended length, which this card does not speak
        if (bytes.size() == 5 + lc) {
            apdu.iso_case = IsoCase::Three;
        } else if (bytes.size() == 6 + lc) {
            apdu.iso_case = IsoCase::Four;
            apdu.le = bytes.back() == 0 ? 256 : bytes.back();
        } else {
            return std::nullopt;
        }
        apdu.data.assign(bytes.begin() + 5, bytes.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
        return apdu;
    }
};

struct VirtualDongle::Answer {
    ByteArray data;
    std::uint16_t sw = kSwOk;
};

VirtualDongle::VirtualDongle(CardConfig config) : m_config(std::move(config)) {
    m_atr = !m_config.atr.empty() ? m_config.atr
                                  : (m_config.protocol == Protocol::T1 ? kAtrT1 : kAtrT0);
}

void VirtualDongle::reset() {
    m_dongle_selected = false;
    m_pending.reset();
}

ByteArray VirtualDongle::build_cplc(const ByteArray& ic_serial) {
    ByteArray cplc{0x9F, 0x7F, 0x2A};
    // IC fabricator, IC type, OS identifier, OS release date, OS release level, IC fabrication
    // date: plausible values, nobody reads them.
    const ByteArray head{0x47, 0x90, 0x50, 0x3F, 0x40, 0x70, 0x12, 0x91, 0x81, 0x05, 0x73, 0x05};
    cplc.insert(cplc.end(), head.begin(), head.end());
    ByteArray serial = ic_serial;
    serial.resize(4);
    cplc.insert(cplc.end(), serial.begin(), serial.end());
    // IC batch identifier, then IC module fabricator: together with the serial they form the
    // 8 bytes a host takes as the hardware identifier.
    const ByteArray batch_and_module{0x01, 0x02, 0x48, 0x12};
    cplc.insert(cplc.end(), batch_and_module.begin(), batch_and_module.end());
    // The remaining 22 bytes: packaging, embedding and personalisation data.
    const ByteArray tail{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    cplc.insert(cplc.end(), tail.begin(), tail.end());
    return cplc;
}

ByteArray VirtualDongle::respond(const ByteArray& command) {
    for (const StatusOverride& entry : m_config.status_overrides) {
        if (starts_with(command, entry.prefix)) {
            m_pending.reset();
            return status_only(entry.sw);
        }
    }
    for (const ByteArray& prefix : m_config.short_answer_prefixes) {
        if (starts_with(command, prefix)) {
            m_pending.reset();
            // Half a status word: hosts must cope with a reader that hands over one byte.
            return {0x90};
        }
    }

    const std::optional<Apdu> apdu = Apdu::parse(command);
    if (!apdu) {
        m_pending.reset();
        return status_only(kSwWrongLength);
    }
    if (m_config.protocol == Protocol::T0 && apdu->cla == 0x00 && apdu->ins == 0xC0)
        return get_response(*apdu);
    m_pending.reset();

    Answer answer = process(*apdu);
    if (m_config.protocol == Protocol::T0)
        return shape_for_t0(*apdu, std::move(answer));
    ByteArray response = std::move(answer.data);
    const ByteArray sw = status_only(answer.sw);
    response.insert(response.end(), sw.begin(), sw.end());
    return response;
}

// A T=0 card cannot send data in the same exchange as command data, and sends outgoing data
// only when the header announced exactly that many bytes; otherwise it says how many it has.
ByteArray VirtualDongle::shape_for_t0(const Apdu& apdu, Answer answer) {
    if (answer.data.empty())
        return status_only(answer.sw);
    const std::size_t length = answer.data.size();
    switch (apdu.iso_case) {
        case IsoCase::Three:
        case IsoCase::Four:
            m_pending = std::move(answer.data);
            return {0x61, length_byte(length)};
        case IsoCase::One:
            // Without P3 the reader sends 00, which asks for 256 bytes.
            if (length != kMaxShortAnswer)
                return {0x6C, length_byte(length)};
            break;
        case IsoCase::Two:
            if (apdu.le != length)
                return {0x6C, length_byte(length)};
            break;
    }
    ByteArray response = std::move(answer.data);
    const ByteArray sw = status_only(answer.sw);
    response.insert(response.end(), sw.begin(), sw.end());
    return response;
}

ByteArray VirtualDongle::get_response(const Apdu& apdu) {
    if (!m_pending)
        return status_only(kSwConditionsNotSatisfied);
    if (apdu.p1 != 0 || apdu.p2 != 0)
        return status_only(kSwWrongP1P2);
    if (apdu.iso_case == IsoCase::Three || apdu.iso_case == IsoCase::Four)
        return status_only(kSwWrongLength);
    const std::size_t length = m_pending->size();
    if (m_config.getresponse_loop)
        return {0x61, length_byte(length)};
    const std::size_t asked = apdu.iso_case == IsoCase::One ? kMaxShortAnswer : apdu.le;
    if (asked != length)
        return {0x6C, length_byte(length)};
    ByteArray response = std::move(*m_pending);
    m_pending.reset();
    response.push_back(0x90);
    response.push_back(0x00);
    return response;
}

VirtualDongle::Answer VirtualDongle::process(const Apdu& apdu) {
    if (apdu.cla == 0x00 && apdu.ins == 0xA4)
        return select(apdu);
    return m_dongle_selected ? dongle(apdu) : card_manager(apdu);
}

VirtualDongle::Answer VirtualDongle::select(const Apdu& apdu) {
    if (apdu.p1 != 0x04 || apdu.p2 != 0x00)
        return {{}, kSwWrongP1P2};
    if (apdu.data.empty())
        return {{}, kSwWrongLength};
    if (apdu.data == kCardManagerAid) {
        m_dongle_selected = false;
        return {};
    }
    if (m_config.has_applet && apdu.data == kDongleAid) {
        m_dongle_selected = true;
        return {};
    }
    // A failed SELECT keeps the application selected before.
    return {{}, kSwFileNotFound};
}

VirtualDongle::Answer VirtualDongle::card_manager(const Apdu& apdu) {
    if (apdu.cla == 0x80 && apdu.ins == 0xCA) {
        if (apdu.p1 != 0x9F || apdu.p2 != 0x7F)
            return {{}, kSwDataNotFound};
        return {m_config.cplc_answer ? *m_config.cplc_answer : build_cplc(m_config.cplc_serial)};
    }
    if (apdu.cla == 0x00 || apdu.cla == 0x80 || apdu.cla == 0x84)
        return {{}, kSwInsNotSupported};
    return {{}, kSwClaNotSupported};
}

VirtualDongle::Answer VirtualDongle::dongle(const Apdu& apdu) {
    if (apdu.cla != 0x40)
        return {{}, apdu.cla == 0x00 ? kSwInsNotSupported : kSwClaNotSupported};
    if (apdu.ins != 0x10)
        return {{}, kSwInsNotSupported};
    // The session key travels in clear: the host has nothing to encrypt with before it.
    if (apdu.p1 == 0x26 && apdu.p2 == 0x26)
        return {m_config.session_key};
    if (!is_plain_p1(apdu.p1))
        return encrypted(apdu);
    if (apdu.p1 != 0x62)
        return {{}, kSwWrongP1P2};
    return dongle_value(apdu.p2);
}

VirtualDongle::Answer VirtualDongle::dongle_value(std::uint8_t p2) const {
    switch (p2) {
        case 0x12:
            return {m_config.serial};
        case 0xB2:
            return {m_config.firmware};
        case 0x20:
            return {m_config.error_code};
        default:
            return {{}, kSwWrongP1P2};
    }
}

// Command data: one byte with the plain length n, then the CBC encryption of the n bytes padded
// with 00 to whole blocks. The answer goes back the same way, without the length byte.
VirtualDongle::Answer VirtualDongle::encrypted(const Apdu& apdu) {
    if (apdu.data.empty())
        return {{}, kSwWrongData};
    const std::size_t n = apdu.data[0];
    const ByteArray cipher(apdu.data.begin() + 1, apdu.data.end());
    if (cipher.empty() || cipher.size() % kDesBlock != 0)
        return {{}, kSwWrongData};
    if (n > cipher.size() || n + kDesBlock <= cipher.size())
        return {{}, kSwWrongData};
    const ByteArray plain = des_cbc(m_config.session_key, cipher, false);
    // Padding that is not all zero means the host used another key.
    if (std::any_of(plain.begin() + static_cast<std::ptrdiff_t>(n), plain.end(),
                    [](std::uint8_t b) { return b != 0; }))
        return {{}, kSwWrongData};

    Answer answer = dongle_value(apdu.p2);
    if (answer.sw != kSwOk || answer.data.empty())
        return answer;
    ByteArray padded = answer.data;
    padded.resize((padded.size() + kDesBlock - 1) / kDesBlock * kDesBlock, 0x00);
    return {des_cbc(m_config.session_key, padded, true)};
}

}  // namespace qel::vcard
