#include "readout/qel_sc_base.h"

#include <exception>
#include <string>

#include "card/KSCardAPIExceptions.h"
#include "crypto/crypt_generic.h"
#include "util/Exception.h"

namespace qel::app {

namespace {

constexpr std::uint8_t kSessionKeyP1P2 = 0x26;
constexpr std::uint8_t kReadP1 = 0x62;
constexpr std::uint8_t kSerialP2 = 0x12;
constexpr std::uint8_t kFirmwareP2 = 0xB2;
constexpr std::uint8_t kErrorCodeP2 = 0x20;
constexpr std::size_t kSerialBytesShown = 4;
// The length byte of a command asks for at most this many answer bytes.
constexpr std::uint32_t kMaxAnswerLength = 255;
// The session cipher's block: encrypted answers come in whole ones.
constexpr std::size_t kCipherBlockBytes = 8;

const util::ByteString kCommandData(1, '\xFF');

}  // namespace

TQNBBase::TQNBBase(SCARDCONTEXT context) : t_ekscard(true, context) {
    if (!api || !api->Readers || api->Readers->size() == 0) {
        // A plain failure, with the card layer's meaning underneath for whoever gives advice.
        try {
            throw card::EKSCardAPIWinAPIException(card::kErrReaderNotFound, 0,
                                                  card::PcscFailure::NoReader);
        } catch (const card::EKSCardAPIWinAPIException&) {
            std::throw_with_nested(util::Exception(card::kErrReaderNotFound));
        }
    }
    reset_params();
}

TQNBBase::~TQNBBase() = default;

void TQNBBase::reset_params() {
    firmware_version = 0;
    aid_prefix = kDongleAidPrefix;
    applet_aid = kDongleAppletAid;
    cla = 0x40;
    ins = 0x10;
    encrypt = false;
    session_key.clear();
    key_answer_length = 8;
    block_size = 8;
}

bool TQNBBase::is_plain_p1(std::uint8_t p1) {
    switch (p1) {
        case 0x28:  // "("
        case 0x34:  // "4"
        case 0x38:  // "8"
        case 0x62:  // "b"
        case 0x9C:
            return true;
        default:
            return false;
    }
}

void TQNBBase::command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                       std::uint8_t answer_length, util::ByteString data,
                       util::ByteString& answer) {
    if (is_plain_p1(p1)) {
        send_command(cla, ins, p1, p2, answer_length, std::move(data), answer);
        return;
    }
    std::uint8_t asked = answer_length;
    if (encrypt && block_size > 0) {
        // The dongle answers in whole cipher blocks, and the length asked for is one byte: a
        // rounded length past 255 cannot be asked for at all. Refused before the key is fetched,
        // so nothing goes to the card.
        const std::uint32_t rounded =
            crypto::round_up_to_block(answer_length, static_cast<std::uint32_t>(block_size));
        if (rounded > kMaxAnswerLength) {
            throw util::Exception("Answer length " + std::to_string(answer_length) +
                                  " is too long for an encrypted command: " +
                                  std::to_string(rounded) + " bytes with the cipher's padding, " +
                                  "at most " + std::to_string(kMaxAnswerLength));
        }
        asked = static_cast<std::uint8_t>(rounded);
    }
    encrypt_data(data);
    send_command(cla, ins, p1, p2, asked, std::move(data), answer);
    // Nothing asked for, nothing to decrypt: the empty answer is the whole answer.
    if (answer_length == 0)
        return;
    decrypt_data(answer);
    if (answer.size() > answer_length)
        answer.resize(answer_length);
}

void TQNBBase::fetch_session_key() {
    if (!encrypt)
        return;
    send_command(cla, ins, kSessionKeyP1P2, kSessionKeyP1P2,
                 static_cast<std::uint8_t>(key_answer_length), kCommandData, session_key);
}

void TQNBBase::encrypt_data(util::ByteString& data) {
    if (!encrypt)
        return;
    if (session_key.empty())
        fetch_session_key();
    const std::size_t n = data.size();
    util::ByteString padded = crypto::pad_to_block(data, block_size, 0x00);
    util::ByteString cipher_text;
    crypto::TCryptGeneric::crypt(session_key, padded, 0, 1, cipher_text);
    data = util::ByteString(1, static_cast<char>(n % 256)) + cipher_text;
}

void TQNBBase::decrypt_data(util::ByteString& data) {
    if (!encrypt)
        return;
    // The cipher hands back anything but whole blocks untouched; taken for a decrypted answer,
    // such bytes would pass cipher text on as the dongle's values.
    if (data.empty() || data.size() % kCipherBlockBytes != 0) {
        throw util::Exception("Encrypted answer of " + std::to_string(data.size()) +
                              " bytes is not a whole number of " +
                              std::to_string(kCipherBlockBytes) + "-byte blocks");
    }
    crypto::TCryptGeneric::crypt(session_key, data, 1, 1, data);
}

util::ByteString TQNBBase::read_serial_raw() {
    util::ByteString answer;
    command(cla, ins, kReadP1, kSerialP2, 8, kCommandData, answer);
    m_last_answer_size = answer.size();
    return answer.substr(0, kSerialBytesShown);
}

std::string TQNBBase::read_serial() {
    return card::bytes_to_hex(read_serial_raw(), 0);
}

std::uint16_t TQNBBase::read_firmware_version() {
    util::ByteString answer;
    command(cla, ins, kReadP1, kFirmwareP2, 2, kCommandData, answer);
    m_last_answer_size = answer.size();
    firmware_version = static_cast<std::uint16_t>(card::bytes_to_uint64(answer));
    return firmware_version;
}

std::uint16_t TQNBBase::read_error_code() {
    util::ByteString answer;
    command(cla, ins, kReadP1, kErrorCodeP2, 2, kCommandData, answer);
    m_last_answer_size = answer.size();
    return static_cast<std::uint16_t>(card::bytes_to_uint64(answer));
}

}  // namespace qel::app
