#pragma once

#include <cstdint>
#include <string>

#include "card/UEKSCard.h"
#include "util/Bytes.h"

namespace qel::app {

// The QEL dongle's command protocol on top of the card session: one class byte, one
// instruction byte, the operation chosen by P1 P2, and an optional encrypted form of the command
// data under a session key the dongle hands out.
class TQNBBase : public card::t_ekscard {
public:
    // Opens the PC/SC context (or uses the caller's `context`, not 0) and lists the readers;
    // fails with "Card-Reader is not found" when there is no reader, or with the card layer's
    // text.
    explicit TQNBBase(SCARDCONTEXT context = 0);
    ~TQNBBase() override;

    void reset_params();

    // One dongle command. Commands with a plain P1 are never encrypted; the others are, when
    // `encrypt` is on, with the answer length rounded up to whole cipher blocks. A length whose
    // rounding passes 255 raises util::Exception before anything is sent; an answer length of 0
    // takes the empty answer as it is.
    void command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                 std::uint8_t answer_length, util::ByteString data, util::ByteString& answer);
    void fetch_session_key();
    void encrypt_data(util::ByteString& data);
    // With `encrypt` on, data that is not whole 8-byte blocks (the empty one included) raises
    // util::Exception and is left as it was.
    void decrypt_data(util::ByteString& data);

    util::ByteString read_serial_raw();
    std::string read_serial();
    std::uint16_t read_firmware_version();
    std::uint16_t read_error_code();
    // How many bytes the dongle answered the last of the three reads with, before any is cut
    // off: 0 for an answer of the status word alone, which the reads turn into an empty serial
    // number or a zero.
    std::size_t last_answer_size() const { return m_last_answer_size; }

    static bool is_plain_p1(std::uint8_t p1);

    std::uint16_t firmware_version = 0;
    util::ByteString aid_prefix;
    util::ByteString applet_aid;
    std::uint8_t cla = 0x40;
    std::uint8_t ins = 0x10;
    bool encrypt = false;
    util::ByteString session_key;
    std::int32_t key_answer_length = 8;
    std::int32_t block_size = 8;

private:
    std::size_t m_last_answer_size = 0;
};

class t_qel_sc_base : public TQNBBase {
public:
    using TQNBBase::TQNBBase;
};

inline constexpr const char* kDongleAidPrefix = "qel21\x01\x01";
inline constexpr const char* kDongleAppletAid = "qel21\x01\x01\x01";

}  // namespace qel::app
