#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "card/KSCardAPIReaders.h"
#include "card/PcscOwners.h"
#include "gp/KSCardAPICardGP.h"

namespace qel::card {

// What FindCard asks of each card.
enum CardSearch : std::uint8_t {
    kAnyCard = 0,  // and any value above 3
    kByAID = 1,
    kByHWID = 2,
    kBySerial = 3,
};

// What a search met in a reader that did not give it its card. The not-found text says the same
// in words for the window; this is what a program acts on.
struct ReaderCause {
    enum class Kind {
        NoCard,           // the reader is empty
        OtherCard,        // a card that refused the search's question: not the card searched for
        CardInUse,        // another program holds the card, or a command of its is unfinished
        ProfileUnusable,  // a value of the card's profile in KSCard.ini cannot be used
        Failed,           // PC/SC or the card failed in another way
    };
    Kind kind = Kind::NoCard;
    std::string reader;
    util::ByteArray atr;  // OtherCard: the card's ATR
    std::string profile;  // OtherCard: the name of the card's profile; empty for none
    // ProfileUnusable: where the value is, and what is wrong with it.
    std::string file;
    std::string section;
    std::string key;
    std::string problem;
    // Failed: what a PC/SC code underneath means (None for a failure of the card layers), and
    // the failure's text on one line.
    PcscFailure failure = PcscFailure::None;
    std::string text;

    bool operator==(const ReaderCause&) const = default;
};

// A fixed word for each kind, for scripts: "no_card", "other_card", "card_in_use",
// "profile_unusable", "reader_failed".
const char* reader_cause_word(ReaderCause::Kind kind) noexcept;

// The entry object of the card library: a PC/SC context, the readers listed once, and the search
// for the card the caller wants.
class TKSCardAPI {
public:
    explicit TKSCardAPI(DWORD Scope);
    // Lists the readers on a context of the caller's, which stays the caller's to release: a
    // program that reads one card after another keeps one context instead of opening a new one
    // with each search.
    static std::unique_ptr<TKSCardAPI> on_context(SCARDCONTEXT context);
    ~TKSCardAPI();

    TKSCardAPI(const TKSCardAPI&) = delete;
    TKSCardAPI& operator=(const TKSCardAPI&) = delete;

    // Connects the readers in order and returns the first card that passes the search; a failing
    // reader or card is skipped. When none passes, "not found" is raised, followed by one line
    // for each distinct reason a card was skipped other than not holding what was searched for
    // (a card held by another program, a bad hex value in its profile, a PC/SC failure), so that
    // a dongle that is there but unusable does not read as missing. The card profile file is
    // read once per search, for all the cards it connects. With a reader name only the reader of
    // that exact name is tried; a name that is not among the listed readers is raised as such,
    // since "not found" would send the user looking for a card.
    std::unique_ptr<gp::TKSCardAPICardGP> FindCard(std::uint8_t search_type,
                                                   const std::string& text, std::uint8_t ShareMode,
                                                   const std::string& reader_name = {});
    std::unique_ptr<gp::TKSCardAPICardGP> FindCardByAID(const std::string& aid_hex,
                                                        std::uint8_t ShareMode,
                                                        const std::string& reader_name = {});
    // As above, with the AID as the bytes its SELECT carries.
    std::unique_ptr<gp::TKSCardAPICardGP> FindCardByAID(std::span<const std::uint8_t> aid,
                                                        std::uint8_t ShareMode,
                                                        const std::string& reader_name = {});
    std::unique_ptr<gp::TKSCardAPICardGP> FirstCard(std::uint8_t ShareMode,
                                                    const std::string& reader_name = {});

    static std::string SearchTypeName(std::uint8_t search_type);

    // Whether the reader list, as taken at construction, holds a reader of exactly this name.
    bool has_reader(const std::string& name) const;

    // What the last search met in each reader it tried and that did not give it its card, in
    // the readers' order; empty after a search that found its card.
    const std::vector<ReaderCause>& causes() const { return m_causes; }

private:
    struct Borrowed {};
    TKSCardAPI(Borrowed, SCARDCONTEXT context);
    void list_readers();

    // Declared before Readers: the readers go first, the context after them. Empty on a
    // borrowed context.
    PcscContext m_context;

public:
    const SCARDCONTEXT Context;
    std::unique_ptr<TKSCardAPIReadersCollection> Readers;

private:
    // `aid` is Text decoded, for the AID search.
    static bool card_passes(gp::TKSCardAPICardGP& card, std::uint8_t search_type,
                            const std::string& text, std::span<const std::uint8_t> aid);
    // FindCard once an AID search has its AID as bytes; `aid_refused`, when set, is why its text
    // gave none.
    std::unique_ptr<gp::TKSCardAPICardGP> find_card(
        std::uint8_t search_type, const std::string& text, std::span<const std::uint8_t> aid,
        const std::optional<util::Exception>& aid_refused, std::uint8_t ShareMode,
        const std::string& reader_name);

    std::vector<ReaderCause> m_causes;
};

// Whether a search met a card that another program holds: one that may well pass once that
// program lets the card go.
bool met_held_card(const std::vector<ReaderCause>& causes);

}  // namespace qel::card
