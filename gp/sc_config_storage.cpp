#include "gp/sc_config_storage.h"

namespace qel::gp {

namespace {

struct BuiltInCard {
    const char* atr;
    const char* aid;
};

// Entries 1 to 22: only the ATR and the card manager AID are known. Entry 4 repeats the e-gate
// ATR and can never be found; it is kept so the table matches the cards it was collected from.
constexpr BuiltInCard kKnownCards[] = {
    {"3B7F96000080318065B08441460412FFFE829000", "A000000018434D00"},
    {"3B7F96000080318065B0850201F312FFFE829000", "A000000018434D00"},
    {"3B759400006202020101", "A0000000030000"},
    {"3B759400006202020301", "A0000000030000"},
    {"3B759400006202020201", "A0000000030000"},
    {"3B759400006202020080", "A0000000030000"},
    {"3B750000006202020000", "A0000000030000"},
    {"3B6D000080318065B08401000083009000", "A0000000030000"},
    {"3B6600FF4A434F503230", "A0000000030000"},
    {"3B959540FFAE01030000", "A0000000030000"},
    {"3B7D95000080318065B08311D0A983009000", "A000000018434D00"},
    {"3B7D96000080318065B08311D0A983009000", "A000000018434D00"},
    {"3B7D94000080318065B0831148C883009000", "A000000018434D00"},
    {"3B7D95000080318065B0831148C883009000", "A000000018434D00"},
    {"3F6D000080318065B00501025E83009000", "A000000018434D"},
    {"3B7A1800FF4A434F50343156323231", "A0000000030000"},
    {"3BF91800008131FE454A434F503231563232A9", "A0000000030000"},
    {"3B750000009C02020000", "A0000000030000"},
    {"3B76000000009C11010000", "A0000000030000"},
    {"3B750000002905010000", "A0000000030000"},
    {"3B95004000AE01010000", "A000000003000000"},
    {"3BE900008131FE454A434F503431563232A7", "A000000003000000"},
};

constexpr const char* kEgateKey = "7C2E91A45B3D08F6E1A9C47D20B5683F";

}  // namespace

t_sc_config_stor::t_sc_config_stor() {
    clear_all();

    items[0] = t_sc_config{.name = "e-gate",
                           .atr = "3B759400006202020301",
                           .card_manager_aid = "A0000000030000",
                           .auth_key = kEgateKey,
                           .mac_key = kEgateKey,
                           .dek_key = kEgateKey,
                           .mother_key = "",
                           .key_derivation_algo = "none",
                           .key_set_version = 1,
                           .key_number = 0,
                           .scp_version = 1,
                           .scp_option = 5,
                           .security_level = 3,
                           .gp_version = 201,
                           .jc_version = 211,
                           .visa_op_version = 0};
    count = 1;

    for (const BuiltInCard& card : kKnownCards)
        add(card.atr, card.aid);
}

void t_sc_config_stor::clear_all() {
    count = 0;
    for (std::int32_t i = 0; i < capacity; ++i)
        clear_entry(i);
}

void t_sc_config_stor::clear_entry(std::int32_t index) {
    if (index < 0 || index >= capacity)
        return;
    items[static_cast<std::size_t>(index)] = t_sc_config{};
}

bool t_sc_config_stor::add(const std::string& atr, const std::string& aid) {
    if (count < 0 || count >= capacity)
        return false;
    t_sc_config& entry = items[static_cast<std::size_t>(count)];
    entry.atr = atr;
    entry.card_manager_aid = aid;
    ++count;
    return true;
}

void t_sc_config_stor::find_by_atr(const std::string& atr, t_sc_config& out) const {
    const std::int32_t used = count < capacity ? count : capacity;
    for (std::int32_t i = 0; i < used; ++i) {
        const t_sc_config& entry = items[static_cast<std::size_t>(i)];
        if (entry.atr == atr) {
            out = entry;
            return;
        }
    }
    out = items[0];
}

}  // namespace qel::gp
