#include "gp/KSCardGPCardDBCore.h"

#include <type_traits>

namespace qel::gp {

TKSCardGPCardDBCore::TKSCardGPCardDBCore() {
    Clear();
}

bool TKSCardGPCardDBCore::LoadByATR(const util::TKUDynArraySoftLenContainer& atr) {
    return LoadByATRHex(atr.GetAsHexString());
}

bool TKSCardGPCardDBCore::EnsureLoadedByATRHex(const std::string& atr_hex) {
    if (!Loaded)
        LoadByATRHex(atr_hex);
    return Loaded;
}

bool TKSCardGPCardDBCore::EnsureLoadedByATR(const util::TKUDynArraySoftLenContainer& atr) {
    if (!Loaded)
        LoadByATR(atr);
    return Loaded;
}

void TKSCardGPCardDBCore::Clear() {
    // The empty record is the cleared profile: empty texts and bytes, zero numbers.
    load_record(t_sc_config{});
}

bool TKSCardGPCardDBCore::LoadFromBuiltIns(const std::string& atr_hex) {
    // The table never changes once built, and every card connection looks it up: build it once
    // (50 records of strings) instead of on every lookup.
    static const t_sc_config_stor table;
    t_sc_config entry;
    table.find_by_atr(atr_hex, entry);
    return load_record(entry);
}

bool TKSCardGPCardDBCore::load_record(const t_sc_config& record, const RefusedHex& refused) {
    Loaded = false;
    for_each_profile_field([&](const auto& field) {
        auto& value = this->*field.field;
        const auto& source = record.*field.record;
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>,
                                     util::TKUDynArraySoftLenContainer>) {
            try {
                value.SetAsHexString(source);
            } catch (const util::Exception& refusal) {
                if (refused && field.key != nullptr)
                    refused(field.key, source, refusal);
                throw;
            }
        } else {
            value = source;
        }
    });
    Loaded = CardManagerAID.GetLength() > 0;
    return Loaded;
}

}  // namespace qel::gp
