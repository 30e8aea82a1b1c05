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

// What the reader's failure tells of it. `card` is the card the search had connected there, if
// any.
ReaderCause cause_of(const std::string& reader, const gp::TKSCardAPICardGP* card,
                     const std::exception& failure) {
    ReaderCause cause;
    cause.reader = reader;
    if (dynamic_cast<const EKSCardAPIISO7816Excepion*>(&failure) != nullptr) {
        cause.kind = ReaderCause::Kind::OtherCard;
        if (card != nullptr) {
            cause.atr = card->ATR.GetArray();
            if (card->CardDB.IsLoaded())
                cause.profile = card->CardDB.Name;
        }
        return cause;
    }
    if (const auto* bad_hex = dynamic_cast<const gp::ProfileHexError*>(&failure)) {
        cause.kind = ReaderCause::Kind::ProfileUnusable;
        cause.file = bad_hex->file_name;
        cause.section = bad_hex->section;
        cause.key = bad_hex->key;
        cause.problem = bad_hex->fault;
        return cause;
    }
    const auto* pcsc = dynamic_cast<const EKSCardAPIWinAPIException*>(&failure);
    const PcscFailure meaning = pcsc != nullptr ? pcsc->failure() : PcscFailure::None;
    // Only PC/SC itself can tell an empty reader or a held card; a card that answered the card
    // layers wrongly (one byte) was there.
    switch (pcsc != nullptr && pcsc->ErrorCode != 0 ? meaning : PcscFailure::Other) {
        case PcscFailure::NoCard:
        case PcscFailure::CardRemoved:
            cause.kind = ReaderCause::Kind::NoCard;
            return cause;
        case PcscFailure::CardInUse:
            cause.kind = ReaderCause::Kind::CardInUse;
            return cause;
        default:
            break;
    }
    cause.kind = ReaderCause::Kind::Failed;
    cause.failure = meaning;
    cause.text = one_line(failure.what());
    return cause;
}

// Why a reader's card was passed over; empty when it simply is not the card searched for: a card
// that refuses the SELECT with a status word, or no card at all.
std::string skip_reason(const std::string& reader, const std::exception& failure) {
    if (dynamic_cast<const EKSCardAPIISO7816Excepion*>(&failure) != nullptr)
        return {};
    if (const auto* bad_hex = dynamic_cast<const gp::ProfileHexError*>(&failure))
        return bad_hex->reason();
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

std::string TKSCardAPI::SearchTypeName(std::uint8_t search_type) {
    switch (search_type) {
        case kByHWID:
            return "HWID";
        case kBySerial:
            return "Serial";
        default:
            return "AID";
    }
}

bool TKSCardAPI::card_passes(gp::TKSCardAPICardGP& card, std::uint8_t search_type,
                             const std::string& text, std::span<const std::uint8_t> aid) {
    util::ByteArray answer;
    switch (search_type) {
        case kByAID:
            card.SelectApplet(aid, 255, answer);
            return true;
        case kByHWID:
            card.SelectCardManager(255, answer);
            return card.GetHWID().GetAsHexString() == text;
        case kBySerial:
            card.SelectCardManager(255, answer);
            return card.GetSerial().GetAsHexString() == text;
        default:
            // With no card manager AID in the profile nothing is sent: the card answers by being
            // there.
            card.SelectApplet(card.CardManagerAID.GetArray(), 255, answer);
            return true;
    }
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCard(std::uint8_t search_type,
                                                           const std::string& text,
                                                           std::uint8_t ShareMode,
                                                           const std::string& reader_name) {
    // An AID that is no hex fails each card as its SELECT would have, once the card is connected.
    util::ByteArray aid;
    std::optional<util::Exception> aid_refused;
    if (search_type == kByAID) {
        try {
            aid = util::from_hex(text);
        } catch (const util::Exception& e) {
            aid_refused = e;
        }
    }
    return find_card(search_type, text, aid, aid_refused, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::find_card(
    std::uint8_t search_type, const std::string& text, std::span<const std::uint8_t> aid,
    const std::optional<util::Exception>& aid_refused, std::uint8_t ShareMode,
    const std::string& reader_name) {
    if (!Readers || Readers->size() == 0)
        throw EKSCardAPIWinAPIException(kErrReaderNotFound, 0, PcscFailure::NoReader);
    if (!reader_name.empty() && !has_reader(reader_name))
        throw EKSCardAPIWinAPIException("Reader \"" + reader_name + "\" is not connected", 0);

    // A file that cannot be read now is left to each card to try, as a card on its own does.
    const gp::ProfileFileParse profiles = gp::TKSCardGPCardDBini::parse_profile_file("");

    std::vector<std::string> reasons;
    m_causes.clear();
    for (std::size_t i = 0; i < Readers->size(); ++i) {
        const TKSCardAPIReader& reader = Readers->Items(i);
        if (!reader_name.empty() && reader.Name != reader_name)
            continue;
        // The search goes on with the next reader; the card, if any, is disconnected as it goes
        // out of scope. Why it failed counts only if no other reader has the card.
        std::unique_ptr<gp::TKSCardAPICardGP> card;
        try {
            // The search's parse of the profile file goes to the card before its first Refresh
            // looks the profile up.
            card = reader.Connect<gp::TKSCardAPICardGP>(ShareMode, profiles);
            if (aid_refused)
                throw *aid_refused;
            if (card_passes(*card, search_type, text, aid)) {
                m_causes.clear();
                return card;
            }
            // Its identifier is another card's.
            ReaderCause other;
            other.kind = ReaderCause::Kind::OtherCard;
            other.reader = reader.Name;
            other.atr = card->ATR.GetArray();
            if (card->CardDB.IsLoaded())
                other.profile = card->CardDB.Name;
            m_causes.push_back(std::move(other));
        } catch (const std::exception& e) {
            m_causes.push_back(cause_of(reader.Name, card.get(), e));
            std::string reason = one_line(skip_reason(reader.Name, e));
            if (!reason.empty() &&
                std::find(reasons.begin(), reasons.end(), reason) == reasons.end())
                reasons.push_back(std::move(reason));
        }
    }
    std::string not_found =
        std::string("Card with specified ") + SearchTypeName(search_type) + " is not found";
    for (const std::string& reason : reasons)
        not_found += "\r\n" + reason;
    throw EKSCardAPIWinAPIException(not_found, 0);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCardByAID(const std::string& aid_hex,
                                                                std::uint8_t ShareMode,
                                                                const std::string& reader_name) {
    return FindCard(kByAID, aid_hex, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FindCardByAID(std::span<const std::uint8_t> aid,
                                                                std::uint8_t ShareMode,
                                                                const std::string& reader_name) {
    return find_card(kByAID, {}, aid, std::nullopt, ShareMode, reader_name);
}

std::unique_ptr<gp::TKSCardAPICardGP> TKSCardAPI::FirstCard(std::uint8_t ShareMode,
                                                            const std::string& reader_name) {
    return FindCard(kAnyCard, "", ShareMode, reader_name);
}

bool met_held_card(const std::vector<ReaderCause>& causes) {
    return std::any_of(causes.begin(), causes.end(), [](const ReaderCause& cause) {
        return cause.kind == ReaderCause::Kind::CardInUse;
    });
}

const char* reader_cause_word(ReaderCause::Kind kind) noexcept {
    switch (kind) {
        case ReaderCause::Kind::NoCard:
            return "no_card";
        case ReaderCause::Kind::OtherCard:
            return "other_card";
        case ReaderCause::Kind::CardInUse:
            return "card_in_use";
        case ReaderCause::Kind::ProfileUnusable:
            return "profile_unusable";
        case ReaderCause::Kind::Failed:
            return "reader_failed";
    }
    return "reader_failed";
}

bool TKSCardAPI::has_reader(const std::string& name) const {
    for (std::size_t i = 0; Readers && i < Readers->size(); ++i) {
        if (Readers->Items(i).Name == name)
            return true;
    }
    return false;
}

}  // namespace qel::card
