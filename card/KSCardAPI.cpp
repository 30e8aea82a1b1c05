#include "KSCardAPI.h"

#include "card/KSCardAPIExceptions.h"
#include "util/Exception.h"

namespace qel::card {

TKSCardAPI::TKSCardAPI(DWORD Scope) {
    const LONG result = SCardEstablishContext(Scope, nullptr, nullptr, &Context);
    if (result != SCARD_S_SUCCESS) {
        throw EKSCardAPIWinAPIException(kErrEstablishContext, static_cast<std::uint32_t>(result));
    }
    try {
        Readers = std::make_unique<TKSCardAPIReadersCollection>(Context);
    } catch (const std::exception& e) {
        Readers.reset();
        // The destructor does not run for a half-built object; the context goes here.
        SCardReleaseContext(Context);  // result ignored: nothing more can be done about it
        throw util::Exception(e.what());
    } catch (...) {
        SCardReleaseContext(Context);  // result ignored: nothing more can be done about it
        throw;
    }
}

TKSCardAPI::~TKSCardAPI() {
    Readers.reset();
    SCardReleaseContext(Context);  // result ignored: nothing more can be done about it
}

std::string TKSCardAPI::SearchTypeName(std::uint8_t SearchType) {
    switch (SearchType) {
        case stHWID:
            return "HWID";
        case stSerial:
            return "Serial";
        default:
            return "AID";
    }
}

bool TKSCardAPI::CardPasses(gp::TKSCardAPICardGP& card, std::uint8_t SearchType,
                            const std::string& Text) {
    util::ByteArray answer;
    switch (SearchType) {
        case stAID:
            card.SelectApplet(Text, 255, answer);
            return true;
        case stHWID:
            card.SelectCardManager(255, answer);
            return card.GetHWID().GetAsHexString() == Text;
        case stSerial:
            card.SelectCardManager(255, answer);
            return card.GetSerial().GetAsHexString() == Text;
        default:
            // With no card manager AID in the profile nothing is sent: the card answers by being
            // there.
            card.SelectApplet(card.CardManagerAID.GetAsHexString(), 255, answer);
            return true;
    }
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCard(std::uint8_t SearchType,
                                                           const std::string& Text,
                                                           std::uint8_t ShareMode) {
    if (!Readers || Readers->Count() == 0)
        throw EKSCardAPIWinAPIException(kErrReaderNotFound, 0);

    for (std::size_t i = 0; i < Readers->Count(); ++i) {
        try {
            auto card = Readers->Items(i).Connect<gp::TKSCardAPICardGP>(ShareMode);
            if (CardPasses(*card, SearchType, Text))
                return card;
        } catch (const std::exception&) {
            // A reader without a card, a card held by another program or one that refuses the
            // question: none of them is the one searched for. The card, if any, is disconnected
            // as it goes out of scope.
        }
    }
    throw EKSCardAPIWinAPIException(
        std::string("Card with specified ") + SearchTypeName(SearchType) + " is not found", 0);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCardByAID(const std::string& AIDHex,
                                                                std::uint8_t ShareMode) {
    return FindCard(stAID, AIDHex, ShareMode);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FirstCard(std::uint8_t ShareMode) {
    return FindCard(stAnyCard, "", ShareMode);
}

}  // namespace qel::card
