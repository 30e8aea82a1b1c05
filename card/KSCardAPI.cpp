#include "KSCardAPI.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "card/KSCardAPIExceptions.h"
#include "gp/KSCardGPCardDBini.h"
#include "util/Exception.h"
#include "util/Hex.h"

namespace qel::card {

namespace {

constexpr std::string_view kHeldCardReason =
    "\" is in use by another program, or still busy with a command that did not finish (then "
    "unplug it and plug it in again)";

// Each reason is a line of the not-found text, whatever the failure's own text holds.
std::string one_line(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

// Why a reader's card was passed over; empty when it simply is not the card searched for: a card
// that refuses the SELECT with a status word, or no card at all.
std::string skip_reason(const std::string& reader, const std::exception& failure) {
    if (dynamic_cast<const EKSCardAPIISO7816Excepion*>(&failure) != nullptr)
        return {};
    if (const auto* bad_hex = dynamic_cast<const gp::EKSCardGPCardDBHexValue*>(&failure))
        return bad_hex->Reason();
    const auto* pcsc = dynamic_cast<const EKSCardAPIWinAPIException*>(&failure);
    if (pcsc == nullptr || pcsc->ErrorCode == 0)
        return "Reader \"" + reader + "\": " + failure.what();
    switch (pcsc->failure()) {
        case PcscFailure::NoCard:
        case PcscFailure::CardRemoved:
            return {};
        case PcscFailure::CardInUse:
            // A program that was ended while its command waited on a silent card leaves the
            // card held in the service until that command ends; nothing here tells the two apart.
            return "The card in reader \"" + reader + std::string(kHeldCardReason);
        default:
            // The three-line text would repeat the reader's name and the code in decimal.
            return "Reader \"" + reader + "\": " + SCardErrorText(pcsc->ErrorCode);
    }
}

}  // namespace

TKSCardAPI::TKSCardAPI(DWORD Scope)
    : m_context(establish_context(Scope)), Context(m_context.get()) {
    list_readers();
}

TKSCardAPI::TKSCardAPI(Borrowed, SCARDCONTEXT context) : Context(context) {
    list_readers();
}

std::unique_ptr<TKSCardAPI> TKSCardAPI::on_context(SCARDCONTEXT context) {
    return std::unique_ptr<TKSCardAPI>(new TKSCardAPI(Borrowed{}, context));
}

void TKSCardAPI::list_readers() {
    try {
        Readers = std::make_unique<TKSCardAPIReadersCollection>(Context);
    } catch (const std::exception& e) {
        // A failed listing leaves as a plain exception with the listing's text; the context goes
        // with its owner as the half-built object is taken apart. The listing's own exception
        // rides along nested, so a caller that wants its class and code can still reach them.
        std::throw_with_nested(util::Exception(e.what()));
    }
}

TKSCardAPI::~TKSCardAPI() = default;

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
                            const std::string& Text, std::span<const std::uint8_t> aid) {
    util::ByteArray answer;
    switch (SearchType) {
        case stAID:
            card.SelectApplet(aid, 255, answer);
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
            card.SelectApplet(card.CardManagerAID.GetArray(), 255, answer);
            return true;
    }
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCard(std::uint8_t SearchType,
                                                           const std::string& Text,
                                                           std::uint8_t ShareMode,
                                                           const std::string& reader_name) {
    // An AID that is no hex fails each card as its SELECT would have, once the card is connected.
    util::ByteArray aid;
    std::optional<util::Exception> aid_refused;
    if (SearchType == stAID) {
        try {
            aid = util::from_hex(Text);
        } catch (const util::Exception& e) {
            aid_refused = e;
        }
    }
    return find_card(SearchType, Text, aid, aid_refused, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::find_card(
    std::uint8_t SearchType, const std::string& Text, std::span<const std::uint8_t> aid,
    const std::optional<util::Exception>& aid_refused, std::uint8_t ShareMode,
    const std::string& reader_name) {
    if (!Readers || Readers->Count() == 0)
        throw EKSCardAPIWinAPIException(kErrReaderNotFound, 0);
    if (!reader_name.empty() && !has_reader(reader_name))
        throw EKSCardAPIWinAPIException("Reader \"" + reader_name + "\" is not connected", 0);

    // A file that cannot be read now is left to each card to try, as a card on its own does.
    const gp::ProfileFileParse profiles = gp::TKSCardGPCardDBini::parse_profile_file("");

    std::vector<std::string> reasons;
    for (std::size_t i = 0; i < Readers->Count(); ++i) {
        const TKSCardAPIReader& reader = Readers->Items(i);
        if (!reader_name.empty() && reader.Name != reader_name)
            continue;
        try {
            // The search's parse of the profile file goes to the card before its first Refresh
            // looks the profile up.
            auto card = reader.Connect<gp::TKSCardAPICardGP>(ShareMode, profiles);
            if (aid_refused)
                throw *aid_refused;
            if (CardPasses(*card, SearchType, Text, aid))
                return card;
        } catch (const std::exception& e) {
            // The search goes on with the next reader; the card, if any, is disconnected as it
            // goes out of scope. Why it failed counts only if no other reader has the card.
            std::string reason = one_line(skip_reason(reader.Name, e));
            if (!reason.empty() &&
                std::find(reasons.begin(), reasons.end(), reason) == reasons.end())
                reasons.push_back(std::move(reason));
        }
    }
    std::string text =
        std::string("Card with specified ") + SearchTypeName(SearchType) + " is not found";
    for (const std::string& reason : reasons)
        text += "\r\n" + reason;
    throw EKSCardAPIWinAPIException(text, 0);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCardByAID(const std::string& AIDHex,
                                                                std::uint8_t ShareMode,
                                                                const std::string& reader_name) {
    return FindCard(stAID, AIDHex, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCardByAID(std::span<const std::uint8_t> aid,
                                                                std::uint8_t ShareMode,
                                                                const std::string& reader_name) {
    return find_card(stAID, {}, aid, std::nullopt, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FirstCard(std::uint8_t ShareMode,
                                                            const std::string& reader_name) {
    return FindCard(stAnyCard, "", ShareMode, reader_name);
}

bool names_held_card(std::string_view failure) {
    return failure.find(kHeldCardReason) != std::string_view::npos;
}

bool TKSCardAPI::has_reader(const std::string& name) const {
    for (std::size_t i = 0; Readers && i < Readers->Count(); ++i) {
        if (Readers->Items(i).Name == name)
            return true;
    }
    return false;
}

}  // namespace qel::card
