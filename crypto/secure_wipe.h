#pragma once

#include <string.h>  // explicit_bzero

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qel::crypto {

// Zeroes key material so that the stores survive even when the compiler can prove the memory
// is never read again (a destructor, a buffer about to go out of scope).
inline void secure_wipe(void* memory, std::size_t size) noexcept {
    explicit_bzero(memory, size);
}

// The same for a fill with any byte value: the empty assembly statement claims to read the
// memory through the pointer, so the fill before it cannot be dropped as a dead store.
inline void secure_fill(void* memory, std::size_t size, std::uint8_t value) noexcept {
    std::memset(memory, value, size);
    __asm__ __volatile__("" : : "r"(memory) : "memory");
}

}  // namespace qel::crypto
