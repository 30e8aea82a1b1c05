#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/KSCardAPICardBase.h"
#include "card/KSCardAPIExceptions.h"
#include "card/PcscOwners.h"
#include "card/WinSCard.h"

namespace qel::card {

// One reader as PC/SC names it.
class TKSCardAPIReader {
public:
    TKSCardAPIReader(std::string Name, SCARDCONTEXT Context)
        : Name(std::move(Name)), Context(Context) {}

    // Connects the card in this reader and builds a card object of class Card around the handle
    // (its construction reads the ATR and may raise); `extra` goes to the card's constructor after
    // the connection, protocol and reader name.
    template <class Card, class... Extra>
    std::unique_ptr<Card> Connect(std::uint8_t ShareMode, Extra&&... extra) const {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        const LONG connected =
            SCardConnectA(Context, Name.c_str(), ShareMode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                          &handle, &protocol);
        // The text names the reader, so it is only made for a failure.
        if (pcsc_failed(connected))
            check_pcsc(connected, kErrConnectCard + Name);
        CardConnection connection(Context, handle);
        if (protocol != SCARD_PROTOCOL_T0 && protocol != SCARD_PROTOCOL_T1) {
            // Nobody takes the card on this path: the connection lets it go as it leaves.
            throw EKSCardAPIWinAPIException(kErrProtocolNotSupported + Name, 0);
        }
        return TKSCardAPICardBase::Create<Card>(std::move(connection), protocol, Name,
                                                std::forward<Extra>(extra)...);
    }

    const std::string Name;
    const SCARDCONTEXT Context;
};

// The readers PC/SC reports, in its order, listed once at construction.
class TKSCardAPIReadersCollection {
public:
    explicit TKSCardAPIReadersCollection(SCARDCONTEXT Context);

    TKSCardAPIReadersCollection(const TKSCardAPIReadersCollection&) = delete;
    TKSCardAPIReadersCollection& operator=(const TKSCardAPIReadersCollection&) = delete;

    void ListReaders();

    std::size_t size() const { return m_items.size(); }
    // Valid until ListReaders runs again.
    const TKSCardAPIReader& Items(std::size_t index) const { return m_items.at(index); }

    const SCARDCONTEXT Context;

private:
    std::vector<TKSCardAPIReader> m_items;
};

}  // namespace qel::card
