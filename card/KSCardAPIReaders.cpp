#include "KSCardAPIReaders.h"

#include <cstring>

namespace qel::card {

TKSCardAPIReadersCollection::TKSCardAPIReadersCollection(SCARDCONTEXT Context) : Context(Context) {
    ListReaders();
}

void TKSCardAPIReadersCollection::ListReaders() {
    LPSTR buffer = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG result =
        SCardListReadersA(Context, nullptr, reinterpret_cast<LPSTR>(&buffer), &length);
    if (result != SCARD_S_SUCCESS) {
        // A buffer handed out before the failure still belongs to the library.
        if (buffer != nullptr) SCardFreeMemory(Context, buffer);
        throw EKSCardAPIWinAPIException(kErrListReaders, static_cast<std::uint32_t>(result));
    }

    // A multi-string: names ended by a zero byte, the list ended by an empty name. The walk stays
    // inside the length the library reported even if the closing zero is missing.
    const char* position = buffer;
    const char* const end = buffer != nullptr ? buffer + length : nullptr;
    while (position != nullptr && position < end) {
        const void* zero = std::memchr(position, '\0', static_cast<std::size_t>(end - position));
        const std::size_t name_length =
            zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - position)
                            : static_cast<std::size_t>(end - position);
        // A name of fewer than two characters ends the list, as the closing empty name does.
        if (name_length < 2)
            break;
        m_items.push_back(
            std::make_unique<TKSCardAPIReader>(std::string(position, name_length), Context));
        position += name_length + 1;
    }

    const LONG freed = buffer != nullptr ? SCardFreeMemory(Context, buffer) : SCARD_S_SUCCESS;
    if (freed != SCARD_S_SUCCESS) {
        throw EKSCardAPIWinAPIException(kErrFreeMemory, static_cast<std::uint32_t>(freed));
    }
}

}  // namespace qel::card
