#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "util/Bytes.h"

namespace qel::vcard {

using qel::util::ByteArray;

enum class Protocol { T0, T1 };

// ATR of the real dongle: T=0 only.
inline const ByteArray kAtrT0{0x3B, 0x75, 0x94, 0x00, 0x00, 0x62, 0x02, 0x02, 0x03, 0x01};
// T=1 only; the historical bytes spell "QEL-DONG".
inline const ByteArray kAtrT1{0x3B, 0x88, 0x01, 0x51, 0x45, 0x4C,
                              0x2D, 0x44, 0x4F, 0x4E, 0x47, 0xFE};

inline const ByteArray kCardManagerAid{0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
inline const ByteArray kDongleAid{0x71, 0x65, 0x6C, 0x32, 0x31, 0x01, 0x01, 0x01};

// A command prefix and the status word to answer it with instead of the real answer.
struct StatusOverride {
    ByteArray prefix;
    std::uint16_t sw = 0;
};

struct CardConfig {
    Protocol protocol = Protocol::T0;
    ByteArray atr;  // empty: the ATR of the protocol
    bool has_applet = true;
    ByteArray serial{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
    ByteArray firmware{0x01, 0x0A};
    ByteArray error_code{0x00, 0x2A};
    ByteArray session_key{0x51, 0x45, 0x4C, 0x2D, 0x4B, 0x45, 0x59, 0x31};
    ByteArray cplc_serial{0x12, 0x34, 0x56, 0x78};
    std::optional<ByteArray> cplc_answer;  // replaces the whole GET DATA answer when set
    std::vector<StatusOverride> status_overrides;
    std::vector<ByteArray> short_answer_prefixes;
    bool getresponse_loop = false;
};

// The card side of the dongle: a card manager with GET DATA for the CPLC and the dongle applet,
// behind the transport rules of the protocol its ATR announces. Knows nothing of sockets.
class VirtualDongle {
public:
    explicit VirtualDongle(CardConfig config);

    const ByteArray& atr() const { return m_atr; }

    // Power off, power on and reset all leave the card as a fresh one: card manager selected,
    // nothing waiting for GET RESPONSE.
    void reset();

    // One command APDU in, one response APDU (data, SW1, SW2) out.
    ByteArray respond(const ByteArray& command);

    // The 45-byte CPLC answer of GET DATA: tag, length and the 42 data bytes.
    static ByteArray build_cplc(const ByteArray& ic_serial);

private:
    struct Apdu;
    struct Answer;

    Answer process(const Apdu& apdu);
    Answer select(const Apdu& apdu);
    Answer card_manager(const Apdu& apdu);
    Answer dongle(const Apdu& apdu);
    Answer dongle_value(std::uint8_t p2) const;
    Answer encrypted(const Apdu& apdu);
    ByteArray get_response(const Apdu& apdu);
    ByteArray shape_for_t0(const Apdu& apdu, Answer answer);

    CardConfig m_config;
    ByteArray m_atr;
    bool m_dongle_selected = false;
    std::optional<ByteArray> m_pending;  // T=0: answer bytes waiting for GET RESPONSE
};

}  // namespace qel::vcard
