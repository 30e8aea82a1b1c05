#include "KSCardAPIReaders.h"

#include <cstring>

namespace qel::card {

TKSCardAPIReadersCollection::TKSCardAPIReadersCollection(SCARDCONTEXT Context) : Context(Context) {
    ListReaders();
}

void TKSCardAPIReadersCollection::ListReaders() {
    PcscBuffer<char> list(Context);
    DWORD length = SCARD_AUTOALLOCATE;
    check_pcsc(SCardListReadersA(Context, nullptr, list.receive<LPSTR>(), &length),
               kErrListReaders);

    // A multi-string: names ended by a zero byte, the list ended by an empty name. The walk stays
    // inside the length the library reported even if the closing zero is missing.
    const char* position = list.get();
    const char* const end = position != nullptr ? position + length : nullptr;
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

    list.release_checked(kErrFreeMemory);
}

}  // namespace qel::card
