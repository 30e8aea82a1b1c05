// The GlobalPlatform card and the reader lookup fed arbitrary PC/SC behaviour: up to three readers
// with cards of any ATR, protocol and answers. The lookup (by AID, HWID, serial, or any card) must
// return a card that really passed, or raise one of the system's exceptions; SELECT must leave the
// selected AID following only a successful answer; the CPLC reads (GetSerial, GetHWID) must take
// serial and hardware id from the 45-byte answer the card gave, and put the previous selection
// back. At the end every context, handle and buffer is given back.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "card/KSCardAPI.h"
#include "card/KSCardAPIExceptions.h"
#include "gp/GPCPLC.h"
#include "gp/KSCardAPICardGP.h"
#include "tests/fuzz/fuzz_pcsc.h"
#include "util/KUDynArrays.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using gp::TKSCardAPICardGP;

const std::string kDongleAidHex = "71656C3231010101";
const Bytes kGetCplc{0x80, 0xCA, 0x9F, 0x7F};

bool starts_with(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

Bytes select_command(const util::ByteArray& aid) {
    Bytes command{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(aid.size())};
    command.insert(command.end(), aid.begin(), aid.end());
    return command;
}

const fakepcsc::FakeReader& reader_of(const FakeSetup& setup, const TKSCardAPICardGP& card) {
    for (const auto& r : setup.pcsc.readers) {
        if (r.name == card.ReaderName)
            return r;
    }
    fail(__FILE__, __LINE__, "a card from a reader that is not there: " + card.ReaderName);
}

// The CPLC answer data of the last GET DATA the card answered.
Bytes last_cplc(const FakeSetup& setup, const fakepcsc::FakeReader& reader) {
    const auto exchanges = setup.exchanges(reader);
    for (auto it = exchanges.rbegin(); it != exchanges.rend(); ++it) {
        if (starts_with(it->command, kGetCplc)) {
            QEL_FUZZ_CHECK(it->answer.size() >= 2 && status_of(it->answer) == 0x9000);
            return data_of(it->answer);
        }
    }
    fail(__FILE__, __LINE__, "CPLC read without a GET DATA");
}

void check_cplc_values(const FakeSetup& setup, TKSCardAPICardGP& card) {
    const Bytes cplc = last_cplc(setup, reader_of(setup, card));
    QEL_FUZZ_CHECK(cplc.size() == gp::CplcLayout::kAnswerLength);
    const auto at = cplc.begin() + gp::CplcLayout::kICSerialOffset;
    QEL_FUZZ_CHECK(card.Serial.GetArray() == Bytes(at, at + gp::CplcLayout::kICSerialLength));
    QEL_FUZZ_CHECK(card.HWID.GetArray() == Bytes(at, at + gp::CplcLayout::kHWIDLength));
}

void operate(FuzzedDataProvider& in, FakeSetup& setup, TKSCardAPICardGP& card) {
    const auto& reader = reader_of(setup, card);
    const util::ByteArray selected_before = card.SelectedAID.GetArray();
    const std::size_t exchanges_before = setup.exchanges(reader).size();
    util::ByteArray response{0xEE};
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
            if (guarded("TKSCardAPICardGP::GetSerial", [&] { card.GetSerial(); }))
                check_cplc_values(setup, card);
            QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == selected_before);
            break;
        case 1:
            if (guarded("TKSCardAPICardGP::GetHWID", [&] { card.GetHWID(); }))
                check_cplc_values(setup, card);
            QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == selected_before);
            break;
        case 2: {
            if (guarded("TKSCardAPICardGP::GetCPLCData", [&] { card.GetCPLCData(response); }))
                QEL_FUZZ_CHECK(response == last_cplc(setup, reader));
            QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == selected_before);
            break;
        }
        case 3: {
            const std::string aid_hex =
                in.ConsumeBool() ? kDongleAidHex : in.ConsumeRandomLengthString(40);
            const auto le = in.ConsumeIntegralInRange<std::int32_t>(-1, 300);
            const bool ok = guarded("TKSCardAPICardGP::SelectApplet",
                                    [&] { card.SelectApplet(aid_hex, le, response); });
            const auto exchanges = setup.exchanges(reader);
            if (aid_hex.empty()) {
                // Nothing to select: nothing sent, nothing answered.
                QEL_FUZZ_CHECK(ok && response.empty() && exchanges.size() == exchanges_before);
            } else if (ok) {
                util::ByteArray aid;
                util::StringToByteStream(aid_hex, aid);
                QEL_FUZZ_CHECK(exchanges.size() > exchanges_before);
                QEL_FUZZ_CHECK(exchanges[exchanges_before].command == select_command(aid));
                QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == aid);
            } else {
                QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == selected_before);
            }
            break;
        }
        default: {
            const bool ok = guarded("TKSCardAPICardGP::SelectCardManager",
                                    [&] { card.SelectCardManager(255, response); });
            QEL_FUZZ_CHECK(card.SelectedAID.GetArray() == selected_before);
            const auto exchanges = setup.exchanges(reader);
            if (ok && !card.CardManagerAID.GetArray().empty()) {
                QEL_FUZZ_CHECK(exchanges.size() > exchanges_before);
                const Bytes select = select_command(card.CardManagerAID.GetArray());
                bool sent = false;
                for (std::size_t i = exchanges_before; i < exchanges.size(); ++i)
                    sent = sent || exchanges[i].command == select;
                QEL_FUZZ_CHECK(sent);
            }
        }
    }
}

void check_found(const FakeSetup& setup, TKSCardAPICardGP& card, std::uint8_t type,
                 const std::string& text) {
    reader_of(setup, card);
    switch (type) {
        case card::kByAID: {
            // An empty AID selects nothing: the first card answers by being there, with its
            // card manager still the selected application.
            util::ByteArray aid;
            util::StringToByteStream(text, aid);
            QEL_FUZZ_CHECK(card.SelectedAID.GetArray() ==
                           (text.empty() ? card.CardManagerAID.GetArray() : aid));
            break;
        }
        case card::kByHWID:
            QEL_FUZZ_CHECK(card.HWID.GetAsHexString() == text);
            check_cplc_values(setup, card);
            break;
        case card::kBySerial:
            QEL_FUZZ_CHECK(card.Serial.GetAsHexString() == text);
            check_cplc_values(setup, card);
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A ./KSCard.ini where the run starts changes the profiles the cards get; the checks compare
    // with a database reading the same file, so the run may start anywhere.
    load_fake_pcsc();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    FakeSetup setup;
    setup.add_readers(in, 1, 3, 8);
    setup.script_failures(in);
    const auto share = static_cast<std::uint8_t>(in.ConsumeIntegralInRange(1, 3));
    const auto type = in.ConsumeIntegralInRange<std::uint8_t>(0, 5);
    std::string text;
    switch (type) {
        case card::kByAID:
            text = in.ConsumeBool() ? kDongleAidHex : in.ConsumeRandomLengthString(40);
            break;
        case card::kByHWID:
        case card::kBySerial:
            text = to_hex(in.ConsumeBytes<std::uint8_t>(type == card::kByHWID ? 8 : 4));
            break;
        default:
            break;
    }
    const bool search = in.ConsumeBool();

    {
        std::unique_ptr<card::TKSCardAPI> api;
        guarded("TKSCardAPI", [&] { api = std::make_unique<card::TKSCardAPI>(SCARD_SCOPE_USER); });
        std::unique_ptr<TKSCardAPICardGP> card;
        if (api && search) {
            std::string error;
            bool card_layer_error = false;
            const bool ok = guarded(
                "TKSCardAPI::FindCard", [&] { card = api->FindCard(type, text, share); },
                [&](const util::Exception& e) {
                    error = e.message();
                    card_layer_error =
                        dynamic_cast<const card::EKSCardAPIWinAPIException*>(&e) != nullptr;
                });
            setup.note_connections();
            if (ok) {
                check_found(setup, *card, type, text);
            } else {
                const std::string not_found = "Card with specified " +
                                              card::TKSCardAPI::SearchTypeName(type) +
                                              " is not found";
                QEL_FUZZ_CHECK(card_layer_error);
                QEL_FUZZ_CHECK_MSG(
                    error.rfind(not_found, 0) == 0 || error == card::kErrReaderNotFound, error);
            }
        } else if (api && api->Readers->size() > 0) {
            guarded("TKSCardAPIReader::Connect",
                    [&] { card = api->Readers->Items(0).Connect<TKSCardAPICardGP>(share); });
            setup.note_connections();
        }
        if (card) {
            // Connected: the ATR is the card's, the profile the built-in one for it.
            QEL_FUZZ_CHECK(card->ATR.GetArray() == reader_of(setup, *card).card.atr);
            gp::TKSCardGPCardDB profile("");
            profile.LoadByATR(card->ATR);
            QEL_FUZZ_CHECK(card->CardManagerAID.GetArray() == profile.CardManagerAID.GetArray());
            const int operations = in.ConsumeIntegralInRange(0, 5);
            for (int i = 0; i < operations; ++i) {
                setup.note_connections();
                operate(in, setup, *card);
            }
        }
    }
    setup.trace_if_asked();
    setup.check_everything_released();
    return 0;
}
