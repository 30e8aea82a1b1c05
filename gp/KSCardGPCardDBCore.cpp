#include "gp/KSCardGPCardDBCore.h"

#include <algorithm>
#include <memory>
#include <type_traits>
#include <vector>

#include "util/Hex.h"

namespace qel::gp {

namespace {

// A built-in profile as a database holds it. It is only ever copied from, so a lookup of its own
// has nothing to do.
class DecodedProfile final : public TKSCardGPCardDBCore {
public:
    explicit DecodedProfile(const t_sc_config& record) { load_record(record); }
    bool LoadByATRHex(const std::string&) override { return Loaded; }
};

// The built-in table with every entry decoded. Every card connection looks its profile up here;
// decoding the entry's hex texts for each one was most of what a connection cost besides PC/SC,
// and the table never changes.
class BuiltInProfiles {
public:
    BuiltInProfiles() {
        const std::size_t used = static_cast<std::size_t>(
            std::clamp<std::int32_t>(m_table.count, 0, t_sc_config_stor::capacity));
        for (std::size_t i = 0; i < used; ++i) {
            const t_sc_config& entry = m_table.items[i];
            std::unique_ptr<const DecodedProfile> decoded;
            try {
                decoded = std::make_unique<const DecodedProfile>(entry);
            } catch (const util::Exception&) {
                // Left to fail at the lookup that finds it, as it would have anyway.
            }
            // Only an ATR written as canonical hex can equal the hex of a card's ATR bytes.
            const bool canonical = decoded && util::to_hex(decoded->ATR.GetArray()) == entry.atr;
            m_keys.push_back({canonical ? digest(decoded->ATR.GetArray()) : 0, canonical});
            m_decoded.push_back(std::move(decoded));
        }
    }

    // The first entry whose ATR text is `atr_hex` exactly, else entry 0.
    std::size_t find(const std::string& atr_hex) const {
        for (std::size_t i = 0; i < m_decoded.size(); ++i) {
            if (m_table.items[i].atr == atr_hex)
                return i;
        }
        return 0;
    }

    // The entry find gives for the canonical hex of `atr`.
    std::size_t find(std::span<const std::uint8_t> atr) const {
        const std::uint32_t wanted = digest(atr);
        for (std::size_t i = 0; i < m_keys.size(); ++i) {
            if (m_keys[i].canonical && m_keys[i].digest == wanted &&
                std::ranges::equal(m_decoded[i]->ATR.GetArray(), atr))
                return i;
        }
        return 0;
    }

    const t_sc_config& record(std::size_t index) const { return m_table.items[index]; }
    // nullptr for an entry whose hex the conversion refuses.
    const DecodedProfile* decoded(std::size_t index) const {
        return index < m_decoded.size() ? m_decoded[index].get() : nullptr;
    }

private:
    // What a lookup by bytes reads of every entry, side by side: the profiles lie apart, and
    // by the next connection the cache holds none of them, so only an entry whose digest
    // matches is read itself.
    struct AtrKey {
        std::uint32_t digest;
        bool canonical;
    };

    // FNV-1a: a few instructions a byte, and ATRs that differ in one byte differ in it.
    static std::uint32_t digest(std::span<const std::uint8_t> bytes) {
        std::uint32_t hash = 2166136261u;
        for (const std::uint8_t b : bytes)
            hash = (hash ^ b) * 16777619u;
        return hash;
    }

    const t_sc_config_stor m_table;
    std::vector<std::unique_ptr<const DecodedProfile>> m_decoded;
    std::vector<AtrKey> m_keys;
};

const BuiltInProfiles& built_in_profiles() {
    static const BuiltInProfiles profiles;
    return profiles;
}

}  // namespace

// The members' initializers are the cleared profile.
TKSCardGPCardDBCore::TKSCardGPCardDBCore() = default;

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
    // The cleared profile is the empty record: empty texts and bytes, zero numbers. The bytes
    // keep their storage for the load that usually follows.
    for_each_profile_field([this](const auto& field) {
        auto& value = this->*field.field;
        using Value = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, util::TKUDynArraySoftLenContainer>) {
            value.GetArray().clear();
        } else {
            value = Value{};
        }
    });
    Loaded = false;
}

bool TKSCardGPCardDBCore::LoadFromBuiltIns(const std::string& atr_hex) {
    return load_built_in_entry(built_in_profiles().find(atr_hex));
}

std::string TKSCardGPCardDBCore::built_in_name(const std::string& atr_hex) {
    const BuiltInProfiles& profiles = built_in_profiles();
    const t_sc_config& entry = profiles.record(profiles.find(atr_hex));
    return entry.atr == atr_hex ? entry.name : std::string();
}

bool TKSCardGPCardDBCore::load_built_in_by_atr(std::span<const std::uint8_t> atr) {
    return load_built_in_entry(built_in_profiles().find(atr));
}

bool TKSCardGPCardDBCore::load_built_in_entry(std::size_t index) {
    const BuiltInProfiles& profiles = built_in_profiles();
    if (const DecodedProfile* decoded = profiles.decoded(index))
        return copy_profile(*decoded);
    return load_record(profiles.record(index));
}

bool TKSCardGPCardDBCore::copy_profile(const TKSCardGPCardDBCore& source) {
    for_each_profile_field([&](const auto& field) {
        auto& value = this->*field.field;
        const auto& from = source.*field.field;
        // Through the container's own out-of-line call: a copy inlined for every field made this
        // function many cache lines long, and it runs once per connection, in a cold cache.
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>,
                                     util::TKUDynArraySoftLenContainer>) {
            value.SetAsArray(from.GetArray());
        } else {
            value = from;
        }
    });
    Loaded = source.Loaded;
    return Loaded;
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
