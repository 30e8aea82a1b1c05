#include "GPCommandsBase.h"

#include "GPToolsUtils.h"
#include "util/KUDynArrays.h"

namespace qel::gp {

void TKGPCommandsBase::BuildGetCPLCData(util::ByteArray& out) {
    out = {0x80, 0xCA, 0x9F, 0x7F};
}

void TKGPCommandsBase::BuildSelect(const util::ByteArray& aid, util::ByteArray& out) {
    util::ByteArray apdu(5 + aid.size());
    apdu[0] = 0x00;  // CLA
    apdu[1] = 0xA4;  // INS: SELECT
    apdu[2] = 0x04;  // P1: select by name
    apdu[3] = 0x00;  // P2: first or only occurrence
    apdu[4] = static_cast<std::uint8_t>(aid.size());
    TKGPToolsUtils::SafeCopyArray(aid, 0, apdu, 5, static_cast<std::int32_t>(aid.size()));
    out = std::move(apdu);
}

void TKGPCommandsBase::BuildSelectHex(const std::string& aid_hex, util::ByteArray& out) {
    util::ByteArray aid;
    util::StringToByteStream(aid_hex, aid);
    BuildSelect(aid, out);
}

}  // namespace qel::gp
