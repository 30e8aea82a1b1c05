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
#include "util/Bytes.h"

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
        DWORD protocol = 0;
        CardConnection connection = connect(ShareMode, protocol);
        if (protocol != SCARD_PROTOCOL_T0 && protocol != SCARD_PROTOCOL_T1) {
            // Nobody takes the card on this path: the connection lets it go as it leaves.
            throw EKSCardAPIWinAPIException(kErrProtocolNotSupported + Name, 0);
        }
        return TKSCardAPICardBase::Create<Card>(std::move(connection), protocol, Name,
                                                std::forward<Extra>(extra)...);
    }

    // Connects the card in this reader offering T=0 and T=1, and sets `protocol` to the one it
    // took, whatever that is; the card is left as it is when the connection goes. Raises
    // kErrConnectCard with the reader's name and PC/SC's code.
    CardConnection connect(std::uint8_t share_mode, DWORD& protocol) const;

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

// A reader's card as PC/SC sees it.
struct ReaderCard {
    bool present = false;
    util::ByteArray atr;  // empty without a card

    bool operator==(const ReaderCard&) const = default;
};

// The card of each of `readers`, in their order, as PC/SC sees it now: asked once, without
// waiting for a change. A reader gone since the listing has no card. Raises kErrListReaders with
// PC/SC's code when the service does not tell.
std::vector<ReaderCard> reader_cards(const TKSCardAPIReadersCollection& readers);

}  // namespace qel::card
