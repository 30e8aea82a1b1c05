#include "KUStrUtils.h"

namespace qel::util {

bool TKUStrUtils::CharInSet(char c, const CharSet& set) {
    const auto value = static_cast<std::uint8_t>(c);
    return (set[value / 8] >> (value % 8)) & 1U;
}

CharSet TKUStrUtils::make_char_set(std::string_view members) {
    CharSet set{};
    for (char c : members) {
        const auto value = static_cast<std::uint8_t>(c);
        set[value / 8] = static_cast<std::uint8_t>(set[value / 8] | (1U << (value % 8)));
    }
    return set;
}

}  // namespace qel::util
