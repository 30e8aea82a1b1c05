// The dongle protocol fed arbitrary PC/SC behaviour: readers with cards of any ATR, protocol and
// answers, failing calls. The session connects by the dongle's AID (or to the first card), then
// the three reads and any command run, plain or encrypted (encrypt on, a P1 that is not plain,
// any answer length, block size and key length). Checked: the values read are those of the
// card's answers; an encrypted command sends its length byte and the data enciphered under the
// key the dongle handed out, and returns the deciphered answer cut to the length asked for; a
// length whose padding passes 255 sends nothing; only the system's exceptions leave; at the end
// every context, handle and buffer is given back.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/crypt_generic.h"
#include "readout/qel_sc_base.h"
#include "tests/fuzz/fuzz_pcsc.h"

namespace {

using namespace qel;
using namespace qel::fuzz;
using app::t_qel_sc_base;

const Bytes kDongleAid{0x71, 0x65, 0x6C, 0x32, 0x31, 0x01, 0x01, 0x01};

// One command as the card saw it: the command and its final answer (after GET RESPONSE, when
// the card asked for one). Dongle commands always carry data, so they are never five bytes long
// as GET RESPONSE is.
struct Apdu {
    Bytes command;
    Bytes answer;
};

std::vector<Apdu> apdus(const FakeSetup& setup, const fakepcsc::FakeReader& reader,
                        std::size_t from) {
    std::vector<Apdu> out;
    const auto exchanges = setup.exchanges(reader);
    for (std::size_t i = from; i < exchanges.size(); ++i) {
        const auto& e = exchanges[i];
        const bool get_response = e.command.size() == 5 && e.command[0] == 0x00 &&
                                  e.command[1] == 0xC0 && e.command[2] == 0 && e.command[3] == 0;
        if (get_response && !out.empty())
            out.back().answer = e.answer;
        else
            out.push_back({e.command, e.answer});
    }
    return out;
}

Bytes command_bytes(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                    const util::ByteString& data) {
    Bytes command{cla, ins, p1, p2, static_cast<std::uint8_t>(data.size())};
    command.insert(command.end(), data.begin(), data.end());
    return command;
}

// The answer data of a 90 00 answer, cut to `length`.
util::ByteString answer_data(const Apdu& apdu, std::size_t length) {
    QEL_FUZZ_CHECK(apdu.answer.size() >= 2 && status_of(apdu.answer) == 0x9000);
    util::ByteString data = as_string(data_of(apdu.answer));
    if (data.size() > length)
        data.resize(length);
    return data;
}

std::uint64_t big_endian(const util::ByteString& bytes) {
    std::uint64_t value = 0;
    for (char c : bytes)
        value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
}

struct Context {
    FakeSetup& setup;
    const fakepcsc::FakeReader& reader;
    t_qel_sc_base& dongle;
};

void check_read(FuzzedDataProvider& in, Context& c) {
    const std::size_t before = c.setup.exchanges(c.reader).size();
    const int which = in.ConsumeIntegralInRange(0, 2);
    std::string serial;
    std::uint16_t value = 0;
    const bool ok = guarded("t_qel_sc_base read", [&] {
        if (which == 0)
            serial = c.dongle.read_serial();
        else if (which == 1)
            value = c.dongle.read_firmware_version();
        else
            value = c.dongle.read_error_code();
    });
    if (!ok)
        return;
    const auto sent = apdus(c.setup, c.reader, before);
    QEL_FUZZ_CHECK(sent.size() == 1);
    const std::uint8_t p2 = which == 0 ? 0x12 : which == 1 ? 0xB2 : 0x20;
    QEL_FUZZ_CHECK(sent[0].command == command_bytes(c.dongle.cla, c.dongle.ins, 0x62, p2,
                                                    util::ByteString(1, '\xFF')));
    if (which == 0) {
        const util::ByteString data = answer_data(sent[0], 8);
        QEL_FUZZ_CHECK(serial == to_hex(as_bytes(data.substr(0, 4))));
    } else {
        QEL_FUZZ_CHECK(value == static_cast<std::uint16_t>(big_endian(answer_data(sent[0], 2))));
        if (which == 1)
            QEL_FUZZ_CHECK(c.dongle.firmware_version == value);
    }
}

void check_command(FuzzedDataProvider& in, Context& c) {
    auto& dongle = c.dongle;
    const auto cla = in.ConsumeIntegral<std::uint8_t>();
    const auto ins = in.ConsumeIntegral<std::uint8_t>();
    auto p1 = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool())
        p1 = 0x26;  // not plain
    const auto p2 = in.ConsumeIntegral<std::uint8_t>();
    auto answer_length = in.ConsumeIntegral<std::uint8_t>();
    if (in.ConsumeBool())
        answer_length %= 17;
    const util::ByteString data = as_string(consume_bytes(in, 40));

    const util::ByteString key_before = dongle.session_key;
    const std::size_t before = c.setup.exchanges(c.reader).size();
    util::ByteString answer = "previous";
    const bool ok = guarded("t_qel_sc_base::command",
                            [&] { dongle.command(cla, ins, p1, p2, answer_length, data, answer); });
    const auto sent = apdus(c.setup, c.reader, before);
    const util::ByteString sent_data = data.empty() ? util::ByteString(1, '\xFF') : data;

    if (!dongle.encrypt || t_qel_sc_base::is_plain_p1(p1)) {
        if (!ok)
            return;
        QEL_FUZZ_CHECK(sent.size() == 1);
        QEL_FUZZ_CHECK(sent[0].command == command_bytes(cla, ins, p1, p2, sent_data));
        QEL_FUZZ_CHECK(answer == answer_data(sent[0], answer_length));
        return;
    }

    std::size_t asked = answer_length;
    if (dongle.block_size > 0) {
        asked =
            crypto::round_up_to_block(answer_length, static_cast<std::uint32_t>(dongle.block_size));
        if (asked > 255) {
            QEL_FUZZ_CHECK(!ok && sent.empty() && dongle.session_key == key_before);
            return;
        }
    }
    if (!ok)
        return;

    std::size_t next = 0;
    util::ByteString key = key_before;
    if (key_before.empty()) {
        // The key comes first, asked for with the dongle's own class and instruction.
        QEL_FUZZ_CHECK(!sent.empty());
        QEL_FUZZ_CHECK(sent[0].command == command_bytes(dongle.cla, dongle.ins, 0x26, 0x26,
                                                        util::ByteString(1, '\xFF')));
        key = answer_data(sent[0], static_cast<std::uint8_t>(dongle.key_answer_length));
        next = 1;
    }
    QEL_FUZZ_CHECK(dongle.session_key == key);
    QEL_FUZZ_CHECK(sent.size() == next + 1);

    // Length byte, then the data padded to whole blocks and enciphered (CBC) under the key; the
    // length byte alone for no data.
    util::ByteString cipher_text;
    crypto::TCryptGeneric::crypt(key, crypto::pad_to_block(data, dongle.block_size, 0), 0, 1,
                                 cipher_text);
    const util::ByteString expected_data =
        util::ByteString(1, static_cast<char>(data.size() % 256)) + cipher_text;
    QEL_FUZZ_CHECK(sent[next].command == command_bytes(cla, ins, p1, p2, expected_data));

    if (answer_length == 0) {
        QEL_FUZZ_CHECK(answer.empty());
        return;
    }
    const util::ByteString received = answer_data(sent[next], asked);
    QEL_FUZZ_CHECK(!received.empty() && received.size() % 8 == 0);
    util::ByteString plain;
    crypto::TCryptGeneric::crypt(key, received, 1, 1, plain);
    if (plain.size() > answer_length)
        plain.resize(answer_length);
    QEL_FUZZ_CHECK(answer == plain);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    load_fake_pcsc();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider in(bytes, size);
    FakeSetup setup;
    const int readers = setup.add_readers(in, 0, 2, 10);
    setup.script_failures(in);
    const bool by_aid = in.ConsumeIntegralInRange(0, 3) != 0;

    {
        std::unique_ptr<t_qel_sc_base> dongle;
        std::string error;
        guarded(
            "t_qel_sc_base", [&] { dongle = std::make_unique<t_qel_sc_base>(); },
            [&](const util::Exception& e) { error = e.message(); });
        if (readers == 0 && setup.failures_scripted == 0) {
            QEL_FUZZ_CHECK_MSG(!dongle && error == "Card-Reader is not found", error);
        }
        bool connected = false;
        if (dongle) {
            connected =
                by_aid ? dongle->connect_by_aid(dongle->applet_aid) : dongle->connect_first();
            setup.note_connections();
            QEL_FUZZ_CHECK(connected == dongle->is_connected());
            QEL_FUZZ_CHECK(connected == dongle->get_last_error().empty());
        }
        if (connected) {
            const fakepcsc::FakeReader* reader = nullptr;
            for (const auto& r : setup.pcsc.readers) {
                if (r.name == dongle->card->ReaderName)
                    reader = &r;
            }
            QEL_FUZZ_CHECK(reader != nullptr);
            if (by_aid) {
                QEL_FUZZ_CHECK(dongle->card->SelectedAID.GetArray() == kDongleAid);
            }
            dongle->encrypt = in.ConsumeBool();
            static const std::int32_t kBlockSizes[] = {8, 8, 8, 0, -1, 16, 3, 1};
            dongle->block_size = kBlockSizes[in.ConsumeIntegralInRange<std::size_t>(0, 7)];
            static const std::int32_t kKeyLengths[] = {8, 8, 0, 7, 16, 255, 256};
            dongle->key_answer_length = kKeyLengths[in.ConsumeIntegralInRange<std::size_t>(0, 6)];
            Context c{setup, *reader, *dongle};
            const int operations = in.ConsumeIntegralInRange(1, 5);
            for (int i = 0; i < operations && in.remaining_bytes() > 0; ++i) {
                if (in.ConsumeBool())
                    check_read(in, c);
                else
                    check_command(in, c);
            }
        }
    }
    setup.trace_if_asked();
    setup.check_everything_released();
    return 0;
}
