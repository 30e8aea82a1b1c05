#pragma once

// The card targets' side of the fake PC/SC library: the binding loads it once, every input
// scripts it anew (readers, cards, answers, failing calls), a record keeps which answer each
// transmit got, and at the end every context, card handle and library buffer must have been
// given back.

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "card/WinSCard.h"
#include "tests/fakepcsc/fake_pcsc.h"
#include "tests/fuzz/fuzz_support.h"

namespace qel::fuzz {

using fakepcsc::Bytes;

inline void load_fake_pcsc() {
    if (!card::LoadWinSCard(FAKE_PCSC_LIBRARY)) {
        std::fprintf(stderr, "cannot load the fake PC/SC library %s\n", FAKE_PCSC_LIBRARY);
        std::abort();
    }
}

// A status word the code under test reacts to, or any.
inline Bytes consume_status(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1:
            return {0x90, 0x00};
        case 2:
            return {0x61, in.ConsumeIntegral<std::uint8_t>()};
        case 3:
            return {0x6A, 0x82};
        case 4:
            return {};
        default:
            return in.ConsumeBytes<std::uint8_t>(2);
    }
}

// One card answer: data, then a status word (or a broken answer of 0 or 1 bytes).
inline Bytes consume_answer(FuzzedDataProvider& in) {
    Bytes answer;
    const int shape = in.ConsumeIntegralInRange(0, 7);
    if (shape == 0)
        return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 1));
    std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 12);
    if (shape == 1)
        length = in.ConsumeIntegralInRange<std::size_t>(0, 300);
    else if (shape == 2)
        length = 45;  // the CPLC answer
    else if (shape == 3)
        length = 8 * in.ConsumeIntegralInRange<std::size_t>(0, 33);  // whole cipher blocks
    answer = in.ConsumeBytes<std::uint8_t>(length);
    if (shape == 2 && answer.size() >= 3) {
        answer[0] = 0x9F;
        answer[1] = 0x7F;
        answer[2] = 0x2A;
    }
    const Bytes sw = consume_status(in);
    answer.insert(answer.end(), sw.begin(), sw.end());
    return answer;
}

inline LONG consume_failure_code(FuzzedDataProvider& in) {
    static const LONG kCodes[] = {
        static_cast<LONG>(SCARD_E_NO_SMARTCARD),
        static_cast<LONG>(SCARD_W_REMOVED_CARD),
        static_cast<LONG>(SCARD_E_SHARING_VIOLATION),
        static_cast<LONG>(SCARD_F_COMM_ERROR),
        static_cast<LONG>(SCARD_E_NOT_TRANSACTED),
        static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE),
        static_cast<LONG>(SCARD_E_NO_SERVICE),
        static_cast<LONG>(SCARD_E_TIMEOUT),
        static_cast<LONG>(SCARD_E_PROTO_MISMATCH),
        static_cast<LONG>(SCARD_E_NO_MEMORY),
    };
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        const LONG any = in.ConsumeIntegral<std::int32_t>();
        // Not a code that claims success, nor one the record below reads as "answer consumed" or
        // as a handle, context or buffer given back twice.
        if (any != SCARD_S_SUCCESS && any != static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER) &&
            any != static_cast<LONG>(SCARD_E_INVALID_HANDLE) &&
            any != static_cast<LONG>(SCARD_E_INVALID_PARAMETER))
            return any;
    }
    return kCodes[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kCodes) - 1)];
}

// Everything a card target scripts, and the record of what the card answered.
// The ATR of the built-in e-gate profile, whose card manager AID the searches know.
inline const Bytes kEgateAtr{0x3B, 0x75, 0x94, 0x00, 0x00, 0x62, 0x02, 0x02, 0x03, 0x01};

class FakeSetup {
public:
    FakeSetup() : pcsc(fakepcsc::state()) {
        pcsc.reset();
        failure_context() = [this] { dump(); };
    }
    ~FakeSetup() { failure_context() = nullptr; }
    FakeSetup(const FakeSetup&) = delete;
    FakeSetup& operator=(const FakeSetup&) = delete;

    // A reader with a card of fuzzed ATR, protocol and answers. The first `queued` answers go
    // into the card's FIFO, the others come from a responder that hands them out one by one
    // (after them, the card's default answer, also fuzzed).
    fakepcsc::FakeReader& add_reader(FuzzedDataProvider& in, const std::string& name) {
        auto& reader = pcsc.add_reader(name);
        auto& card = reader.card;
        card.atr = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 40));
        switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0:
                card.protocol = SCARD_PROTOCOL_T0;
                break;
            case 1:
                card.protocol = in.ConsumeIntegral<std::uint8_t>();
                break;
            default:
                card.protocol = in.ConsumeBool() ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
        }
        if (in.ConsumeIntegralInRange(0, 15) == 0)
            card.overstated_answer_bytes = in.ConsumeIntegralInRange<DWORD>(1, 300);
        if (in.ConsumeIntegralInRange(0, 15) == 0)
            reader.card_present = false;
        if (in.ConsumeIntegralInRange(0, 15) == 0)
            reader.connect_result = consume_failure_code(in);
        if (in.ConsumeIntegralInRange(0, 7) == 0)
            reader.get_attrib_result = consume_failure_code(in);
        if (in.ConsumeIntegralInRange(0, 15) == 0)
            reader.status_result = consume_failure_code(in);
        card.default_answer = consume_answer(in);
        return reader;
    }

    // Between `min` and `max` readers, each holding an e-gate card or one of fuzzed ATR, with up
    // to `max_answers` scripted answers: the scene of the targets that search the readers.
    // Returns how many there are.
    int add_readers(FuzzedDataProvider& in, int min, int max, std::size_t max_answers) {
        const int readers = in.ConsumeIntegralInRange(min, max);
        for (int i = 0; i < readers; ++i) {
            auto& reader = add_reader(in, "Fuzz Reader 0" + std::to_string(i));
            if (in.ConsumeBool())
                reader.card.atr = kEgateAtr;
            script_answers(in, reader, in.ConsumeIntegralInRange<std::size_t>(0, max_answers));
        }
        return readers;
    }

    // Answers for the card of `reader`, in the order the card hands them out.
    void script_answers(FuzzedDataProvider& in, fakepcsc::FakeReader& reader, std::size_t count) {
        Card& record = cards.emplace_back();
        record.reader = &reader;
        const std::size_t queued = in.ConsumeIntegralInRange<std::size_t>(0, count);
        for (std::size_t i = 0; i < count; ++i) {
            Bytes answer = consume_answer(in);
            (i < queued ? record.queued : record.responded).push_back(answer);
        }
        reader.card.queued.assign(record.queued.begin(), record.queued.end());
        record.queued_count = record.queued.size();
        reader.card.responder = [this,
                                 index = cards.size() - 1](const Bytes&) -> std::optional<Bytes> {
            Card& c = cards[index];
            if (c.responded_count == c.responded.size())
                return std::nullopt;
            return c.responded[c.responded_count++];
        };
    }

    // Any PC/SC call may fail now and then, as a service or a driver does.
    void script_failures(FuzzedDataProvider& in) {
        static const char* const kFunctions[] = {
            "SCardEstablishContext", "SCardListReaders", "SCardConnect",
            "SCardGetAttrib",        "SCardStatus",      "SCardTransmit",
            "SCardFreeMemory",       "SCardDisconnect",  "SCardReleaseContext",
        };
        const int failures =
            in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegralInRange(1, 3) : 0;
        failures_scripted = failures;
        for (int i = 0; i < failures; ++i) {
            const char* function =
                kFunctions[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kFunctions) - 1)];
            pcsc.fail_call(function, in.ConsumeIntegralInRange(1, 4), consume_failure_code(in));
        }
    }

    // The answer the card of `reader` gave to each of its transmits that reached it, in order:
    // the FIFO first, then the responder, then the default answer.
    std::vector<Bytes> answers_given(const fakepcsc::FakeReader& reader) const {
        for (const Card& c : cards) {
            if (c.reader != &reader)
                continue;
            std::vector<Bytes> given(
                c.queued.begin(),
                c.queued.begin() +
                    static_cast<std::ptrdiff_t>(c.queued_count - reader.card.queued.size()));
            given.insert(given.end(), c.responded.begin(),
                         c.responded.begin() + static_cast<std::ptrdiff_t>(c.responded_count));
            return given;
        }
        return {};
    }

    // The transmits that reached a card (handed an answer, whether it fit or not), with the
    // answer each got as the caller's count says. Only valid when each card's answers came in that
    // card's own order, which holds as the record is kept per reader.
    struct Exchange {
        Bytes command;
        Bytes answer;
        DWORD pci_protocol;
    };
    std::vector<Exchange> exchanges(const fakepcsc::FakeReader& reader) const {
        std::vector<Exchange> out;
        const std::vector<Bytes> given = answers_given(reader);
        std::size_t next = 0;
        for (const auto& call : pcsc.calls("SCardTransmit")) {
            if (call.result != SCARD_S_SUCCESS &&
                call.result != static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER))
                continue;
            const auto connection = handle_reader.find(call.card);
            if (connection == handle_reader.end() || connection->second != &reader)
                continue;
            Bytes answer = next < given.size() ? given[next] : reader.card.default_answer;
            ++next;
            // A driver that reports more bytes than it wrote: the caller counts bytes of its own
            // buffer that nobody wrote, which the channel fills with zeros. (It cannot tell them
            // from an answer; a count past its buffer it refuses.)
            if (call.result == SCARD_S_SUCCESS)
                answer.resize(answer.size() + reader.card.overstated_answer_bytes, 0x00);
            out.push_back({call.command, answer, call.pci_protocol});
        }
        return out;
    }

    // Call after every SCardConnect the code made: which reader each card handle belongs to.
    void note_connections() {
        for (const auto& call : pcsc.calls("SCardConnect")) {
            if (call.result != SCARD_S_SUCCESS)
                continue;
            for (auto& r : pcsc.readers) {
                if (r.name == call.reader)
                    handle_reader[call.card] = &r;
            }
        }
    }

    // Whatever the library handed out was given back; a handle, context or buffer may stay only
    // when the call that was to give it back failed (the fake keeps it then).
    void check_everything_released() const {
        for (const auto& connection : pcsc.connections) {
            const SCARDHANDLE handle = connection.first;
            QEL_FUZZ_CHECK_MSG(
                failed_release("SCardDisconnect",
                               [&](const fakepcsc::Call& c) { return c.card == handle; }),
                "card handle never disconnected");
        }
        for (SCARDCONTEXT context : pcsc.contexts) {
            QEL_FUZZ_CHECK_MSG(
                failed_release("SCardReleaseContext",
                               [&](const fakepcsc::Call& c) { return c.context == context; }),
                "context never released");
        }
        for (void* memory : pcsc.allocations) {
            QEL_FUZZ_CHECK_MSG(
                failed_release("SCardFreeMemory",
                               [&](const fakepcsc::Call& c) { return c.memory == memory; }),
                "library buffer never freed");
        }
        // Nothing was given back twice.
        for (const auto& call : pcsc.calls("SCardDisconnect"))
            QEL_FUZZ_CHECK(call.result != static_cast<LONG>(SCARD_E_INVALID_HANDLE));
        for (const auto& call : pcsc.calls("SCardFreeMemory"))
            QEL_FUZZ_CHECK(call.result != static_cast<LONG>(SCARD_E_INVALID_PARAMETER));
        for (const auto& call : pcsc.calls("SCardReleaseContext"))
            QEL_FUZZ_CHECK(call.result != static_cast<LONG>(SCARD_E_INVALID_HANDLE));
    }

    // The PC/SC calls the input made, and the answer each card gave to each transmit.
    void dump() const {
        for (const auto& call : pcsc.log) {
            std::fprintf(stderr, "%s %s %s -> 0x%lX\n", call.function.c_str(), call.reader.c_str(),
                         to_hex(call.command).c_str(), static_cast<unsigned long>(call.result));
        }
        for (const auto& r : pcsc.readers) {
            std::fprintf(stderr, "reader \"%s\" protocol %lu overstated %lu:\n", r.name.c_str(),
                         static_cast<unsigned long>(r.card.protocol),
                         static_cast<unsigned long>(r.card.overstated_answer_bytes));
            for (const auto& e : exchanges(r)) {
                std::fprintf(stderr, "  %s => %s\n", to_hex(e.command).c_str(),
                             to_hex(e.answer).c_str());
            }
        }
    }

    // With QEL_FUZZ_TRACE set, the same for every input, for seeing what a seed plays.
    void trace_if_asked() const {
        static const bool asked = std::getenv("QEL_FUZZ_TRACE") != nullptr;
        if (asked)
            dump();
    }

    fakepcsc::FakePcsc& pcsc;
    int failures_scripted = 0;

private:
    template <class Matches>
    bool failed_release(const char* function, Matches matches) const {
        for (const auto& call : pcsc.calls(function)) {
            if (matches(call) && call.result != SCARD_S_SUCCESS)
                return true;
        }
        return false;
    }

    struct Card {
        fakepcsc::FakeReader* reader = nullptr;
        std::vector<Bytes> queued;
        std::size_t queued_count = 0;
        std::vector<Bytes> responded;
        std::size_t responded_count = 0;
    };
    std::deque<Card> cards;
    std::map<SCARDHANDLE, const fakepcsc::FakeReader*> handle_reader;
};

// SW1 SW2 of an answer of at least two bytes.
inline std::uint16_t status_of(const Bytes& answer) {
    return static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer[answer.size() - 1]);
}

inline Bytes data_of(const Bytes& answer) {
    return Bytes(answer.begin(), answer.end() - 2);
}

}  // namespace qel::fuzz
