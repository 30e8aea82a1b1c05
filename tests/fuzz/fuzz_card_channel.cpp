// The card channel fed arbitrary PC/SC behaviour through the fake library: a reader list, a card
// of any ATR and protocol, answers of any shape (over-long, cut short, 61 xx, counts beyond the
// buffer), failing calls. Connect must read the ATR exactly or fail; every exchange must send
// the command the case calls for (Le appended for T=0 case 2, GET RESPONSE after 61 xx), hand
// back exactly the data of a 90 00 answer, or raise one of the system's exceptions and leave the
// response as it was. At the end every context, handle and buffer is given back.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "card/KSCardAPI.h"
#include "card/KSCardAPICardBase.h"
#include "card/KSCardAPIReaders.h"
#include "tests/fuzz/fuzz_pcsc.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using card::TKSCardAPICardBase;

void check_exchange(FuzzedDataProvider& in, FakeSetup& setup, const fakepcsc::FakeReader& reader,
                    TKSCardAPICardBase& card) {
    const bool raw = in.ConsumeIntegralInRange(0, 3) == 0;
    util::ByteArray command;
    util::ByteString data;
    if (raw) {
        command = consume_bytes(in, 270);
    } else {
        const util::ByteArray header = in.ConsumeBytes<std::uint8_t>(4);
        if (header.size() != 4)
            return;
        std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 16);
        if (in.ConsumeIntegralInRange(0, 7) == 0)
            length = in.ConsumeIntegralInRange<std::size_t>(250, 260);
        data = as_string(in.ConsumeBytes<std::uint8_t>(length));
        command = header;
        if (!data.empty()) {
            command.push_back(static_cast<std::uint8_t>(data.size()));
            command.insert(command.end(), data.begin(), data.end());
        }
    }
    std::int32_t le = in.ConsumeIntegralInRange<std::int32_t>(0, 300);
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        le = in.ConsumeIntegral<std::int32_t>();

    const util::ByteArray sentinel{0xEE};
    util::ByteArray response = sentinel;
    const std::size_t before = setup.exchanges(reader).size();
    const bool ok = guarded("TKSCardAPICardBase::SendAPDU", [&] {
        if (raw)
            card.SendAPDUBytes(command, response, le);
        else
            card.SendAPDU(command[0], command[1], command[2], command[3], response, le, data);
    });
    auto exchanges = setup.exchanges(reader);
    exchanges.erase(exchanges.begin(), exchanges.begin() + static_cast<std::ptrdiff_t>(before));

    const bool t0 = reader.card.protocol == SCARD_PROTOCOL_T0;
    const bool sendable = le >= 0 && le <= card::kMaxExpectedLength && command.size() >= 4 &&
                          (raw || data.size() <= card::kMaxCommandDataLength);
    if (!sendable) {
        QEL_FUZZ_CHECK(!ok && exchanges.empty() && response == sentinel);
        return;
    }
    if (!ok) {
        QEL_FUZZ_CHECK(response == sentinel);
        return;
    }

    QEL_FUZZ_CHECK(!exchanges.empty() && exchanges.size() <= 2);
    QEL_FUZZ_CHECK(card.LastSW == 0x9000);
    const auto& last = exchanges.back();
    QEL_FUZZ_CHECK(last.answer.size() >= 2 && status_of(last.answer) == 0x9000);
    QEL_FUZZ_CHECK(response == data_of(last.answer));

    const auto& first = exchanges.front();
    if (!t0) {
        QEL_FUZZ_CHECK(exchanges.size() == 1 && first.command == command);
        QEL_FUZZ_CHECK(first.pci_protocol == SCARD_PROTOCOL_T1);
        QEL_FUZZ_CHECK(response.size() <= static_cast<std::size_t>(le));
        return;
    }
    QEL_FUZZ_CHECK(first.pci_protocol == SCARD_PROTOCOL_T0);
    util::ByteArray expected_first = command;
    if (command.size() == 4 && le != 0)
        expected_first.push_back(static_cast<std::uint8_t>(le & 0xFF));
    QEL_FUZZ_CHECK(first.command == expected_first);
    if (exchanges.size() == 2) {
        // Only a T=0 command with data and an expected answer fetches more, after 61 xx.
        QEL_FUZZ_CHECK(command.size() > 4 && le != 0);
        QEL_FUZZ_CHECK(first.answer.size() == 2 && first.answer[0] == 0x61);
        QEL_FUZZ_CHECK(exchanges[1].command ==
                       (util::ByteArray{0x00, 0xC0, 0x00, 0x00, first.answer[1]}));
        QEL_FUZZ_CHECK(exchanges[1].pci_protocol == SCARD_PROTOCOL_T0);
        QEL_FUZZ_CHECK(response.size() <= std::max<std::size_t>(static_cast<std::size_t>(le), 256));
    } else {
        QEL_FUZZ_CHECK(response.size() <= static_cast<std::size_t>(le));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    load_fake_pcsc();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    FakeSetup setup;
    auto& reader = setup.add_reader(in, "Fuzz Reader 00 00");
    setup.script_answers(in, reader, in.ConsumeIntegralInRange<std::size_t>(0, 6));
    setup.script_failures(in);
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        setup.pcsc.set_raw_reader_list(in.ConsumeRandomLengthString(40));
    const auto share = static_cast<std::uint8_t>(in.ConsumeIntegralInRange(1, 3));

    {
        std::unique_ptr<card::TKSCardAPI> api;
        guarded("TKSCardAPI", [&] { api = std::make_unique<card::TKSCardAPI>(SCARD_SCOPE_USER); });
        if (api && api->Readers->size() > 0) {
            std::unique_ptr<TKSCardAPICardBase> card;
            const auto& first_reader = api->Readers->Items(0);
            guarded("TKSCardAPIReader::Connect",
                    [&] { card = first_reader.Connect<TKSCardAPICardBase>(share); });
            setup.note_connections();
            if (card) {
                QEL_FUZZ_CHECK(first_reader.Name == reader.name);
                QEL_FUZZ_CHECK(card->ATR.GetArray() == reader.card.atr);
                QEL_FUZZ_CHECK(card->Protocol == reader.card.protocol);
                const int operations = in.ConsumeIntegralInRange(1, 4);
                for (int i = 0; i < operations; ++i)
                    check_exchange(in, setup, reader, *card);
            }
        }
    }
    setup.trace_if_asked();
    setup.check_everything_released();
    return 0;
}
