#include "KSCardAPIReaders.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace qel::card {

namespace {

// The name at `position` of a multi-string that ends before `end`; empty where the list ends: at
// `end`, or at a name of fewer than two characters, as at the closing empty name. A name that
// runs into `end` without its zero byte ends there.
std::string_view name_at(const char* position, const char* end) {
    if (position == nullptr || position >= end)
        return {};
    const void* zero = std::memchr(position, '\0', static_cast<std::size_t>(end - position));
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - position)
                        : static_cast<std::size_t>(end - position);
    return length < 2 ? std::string_view() : std::string_view(position, length);
}

}  // namespace

CardConnection TKSCardAPIReader::connect(std::uint8_t share_mode, DWORD& protocol) const {
    SCARDHANDLE handle = 0;
    const LONG connected = SCardConnectA(Context, Name.c_str(), share_mode,
                                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
    // The text names the reader, so it is only made for a failure.
    if (pcsc_failed(connected))
        check_pcsc(connected, kErrConnectCard + Name);
    return CardConnection(Context, handle);
}

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
    const char* const begin = list.get();
    const char* const end = begin != nullptr ? begin + length : nullptr;
    const auto next = [end](std::string_view name) {
        return name_at(name.data() + name.size() + 1, end);
    };
    // Counted first, so that every reader is made once, in its place.
    std::size_t count = 0;
    for (std::string_view name = name_at(begin, end); !name.empty(); name = next(name))
        ++count;
    m_items.reserve(m_items.size() + count);
    for (std::string_view name = name_at(begin, end); !name.empty(); name = next(name))
        m_items.emplace_back(std::string(name), Context);

    list.release_checked(kErrFreeMemory);
}

std::vector<ReaderCard> reader_cards(const TKSCardAPIReadersCollection& readers) {
    // With no reader there is nothing to ask the service.
    if (readers.size() == 0)
        return {};
    std::vector<SCARD_READERSTATE> states(readers.size());
    for (std::size_t i = 0; i < readers.size(); ++i) {
        states[i].szReader = readers.Items(i).Name.c_str();
        // Unaware of any state, the service reports each reader's at once.
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    check_pcsc(SCardGetStatusChangeA(readers.Context, 0, states.data(), states.size()),
               kErrListReaders);
    std::vector<ReaderCard> cards(states.size());
    for (std::size_t i = 0; i < states.size(); ++i) {
        const SCARD_READERSTATE& state = states[i];
        cards[i].present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        // The length is the library's word; the field holds no more than its own size.
        if (cards[i].present)
            cards[i].atr.assign(state.rgbAtr,
                                state.rgbAtr + std::min<DWORD>(state.cbAtr, sizeof state.rgbAtr));
    }
    return cards;
}

}  // namespace qel::card
