#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::crypto {

// Fills memory through a volatile pointer, so that the stores survive even when the compiler
// can prove the memory is never read again (a destructor, a buffer about to go out of scope).
inline void secure_fill(void* memory, std::size_t size, std::uint8_t value) noexcept {
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(memory);
    for (std::size_t i = 0; i < size; ++i)
        p[i] = value;
}

inline void secure_wipe(void* memory, std::size_t size) noexcept {
    secure_fill(memory, size, 0);
}

}  // namespace qel::crypto
