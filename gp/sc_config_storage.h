#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qel::gp {

// One built-in card profile. Byte values are kept as hex text, exactly as typed in the table.
struct t_sc_config {
    std::string name;
    std::string atr;
    std::string card_manager_aid;
    std::string auth_key;
    std::string mac_key;
    std::string dek_key;
    std::string mother_key;
    std::string key_derivation_algo;
    std::uint8_t key_set_version = 0;
    std::uint8_t key_number = 0;
    std::uint8_t scp_version = 0;
    std::uint8_t scp_option = 0;
    std::uint8_t security_level = 0;
    std::int32_t gp_version = 0;
    std::int32_t jc_version = 0;
    std::int32_t visa_op_version = 0;

    bool operator==(const t_sc_config&) const = default;
};

// The table of known cards. Entry 0 (e-gate) is the answer for every ATR that is not listed.
class t_sc_config_stor {
public:
    static constexpr std::int32_t capacity = 50;

    t_sc_config_stor();

    void clear_all();
    // An index outside the table is ignored.
    void clear_entry(std::int32_t index);
    // Fills the next free entry with an ATR and a card manager AID only. False, with nothing
    // changed, once the table is full.
    bool add(const std::string& atr, const std::string& aid);
    // Exact match only (case and length count); the first match wins, entry 0 when none does.
    void find_by_atr(const std::string& atr, t_sc_config& out) const;

    std::int32_t count = 0;
    std::array<t_sc_config, capacity> items;
};

}  // namespace qel::gp
