#pragma once

#include <cstdint>
#include <string>

#include "util/Bytes.h"

namespace qel::gp {

// CLA INS P1 P2 of a command.
struct CommandHeader {
    std::uint8_t cla;
    std::uint8_t ins;
    std::uint8_t p1;
    std::uint8_t p2;
};

// SELECT by name (the AID), its first or only occurrence.
inline constexpr CommandHeader kSelectByAid{0x00, 0xA4, 0x04, 0x00};

// Builders of the GlobalPlatform command APDUs. The Le byte, where a protocol needs one, is the
// card channel's business, not theirs.
class TKGPCommandsBase {
public:
    TKGPCommandsBase() = delete;

    // GET DATA for the CPLC data object: 80 CA 9F 7F.
    static void BuildGetCPLCData(util::ByteArray& out);
    // SELECT by AID: 00 A4 04 00, Lc, AID, built as every command of the card layers
    // (card::build_short_command), so an AID of more than 255 bytes is refused and `out` is left
    // as it was. An empty AID still carries its Lc: 00 A4 04 00 00.
    static void BuildSelect(const util::ByteArray& aid, util::ByteArray& out);
    static void BuildSelectHex(const std::string& aid_hex, util::ByteArray& out);
};

}  // namespace qel::gp
