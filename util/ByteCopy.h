#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qel::util {

// Copies exactly `count` bytes from `source` at `source_index` to `destination` at
// `destination_index` when both ranges lie inside their spans; otherwise writes nothing and
// returns false. Every guarded copy of the library comes down to this one; the special counts
// and the signed indices of the older interfaces are theirs to translate.
inline bool copy_checked(std::span<const std::uint8_t> source, std::size_t source_index,
                         std::span<std::uint8_t> destination, std::size_t destination_index,
                         std::size_t count) {
    // Written as subtractions so that no index plus count can wrap around.
    if (source_index > source.size() || count > source.size() - source_index ||
        destination_index > destination.size() || count > destination.size() - destination_index) {
        return false;
    }
    if (count != 0)
        std::memmove(destination.data() + destination_index, source.data() + source_index, count);
    return true;
}

}  // namespace qel::util
