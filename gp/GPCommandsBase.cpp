#include "GPCommandsBase.h"

#include "card/KSCardAPICardBase.h"
#include "util/Hex.h"

namespace qel::gp {

void TKGPCommandsBase::BuildGetCPLCData(util::ByteArray& out) {
    out = {0x80, 0xCA, 0x9F, 0x7F};
}

void TKGPCommandsBase::BuildSelect(const util::ByteArray& aid, util::ByteArray& out) {
    out = card::build_short_command(kSelectByAid.cla, kSelectByAid.ins, kSelectByAid.p1,
                                    kSelectByAid.p2, aid);
    if (aid.empty()) {
        // SELECT by name has always gone out with its Lc, even a zero one.
        out.push_back(0x00);
    }
}

void TKGPCommandsBase::BuildSelectHex(const std::string& aid_hex, util::ByteArray& out) {
    BuildSelect(util::from_hex(aid_hex), out);
}

}  // namespace qel::gp
