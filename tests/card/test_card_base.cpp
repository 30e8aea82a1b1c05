#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "card/KSCardAPICardBase.h"
#include "card/KSCardAPIExceptions.h"
#include "card/PcscOwners.h"
#include "tests/fakepcsc/fake_pcsc.h"
#include "util/KUDynArrays.h"

namespace qel::card {
namespace {

using Bytes = util::ByteArray;

constexpr const char* kReader = "Fake Reader 00 00";
const Bytes kAtr{0x3B, 0x75, 0x94, 0x00, 0x00, 0x62, 0x02, 0x02, 0x03, 0x01};

Bytes filled(std::size_t count, std::uint8_t first = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string hex(const Bytes& bytes) {
    return util::TKUDynArray::ByteStreamToHexString(bytes, "");
}

class CardChannel : public ::testing::Test {
protected:
    void SetUp() override {
        pcsc.reset();
        ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_LIBRARY));
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context),
                  SCARD_S_SUCCESS);
        reader = &pcsc.add_reader(kReader);
        reader->card.atr = kAtr;
    }
    void TearDown() override {
        SCardReleaseContext(context);
        UnloadWinSCard();
    }

    template <class T = TKSCardAPICardBase, class... Extra>
    std::unique_ptr<T> connect(Extra&&... extra) {
        SCARDHANDLE card = 0;
        DWORD active = 0;
        const LONG result = SCardConnectA(context, kReader, SCARD_SHARE_EXCLUSIVE,
                                          SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
        if (result != SCARD_S_SUCCESS) {
            throw std::runtime_error("connect failed");
        }
        return TKSCardAPICardBase::Create<T>(CardConnection(context, card), active, kReader,
                                             std::forward<Extra>(extra)...);
    }

    fakepcsc::FakePcsc& pcsc = fakepcsc::state();
    fakepcsc::FakeReader* reader = nullptr;
    SCARDCONTEXT context = 0;
};

// ---- exchanges that succeed ----

struct Sent {
    Bytes command;
    DWORD pci_protocol;
    DWORD buffer_size;
};

struct ExchangeCase {
    const char* name;
    DWORD protocol;
    Bytes command;
    std::int32_t le;
    std::vector<Bytes> answers;
    std::vector<Sent> sent;
    Bytes response;
};

class Exchanges : public CardChannel, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(Exchanges, SendTheIsoCaseShapedForTheProtocol) {
    const auto& c = GetParam();
    reader->card.protocol = c.protocol;
    auto card = connect();
    for (const auto& answer : c.answers) {
        reader->card.queued.push_back(answer);
    }

    Bytes response{0xEE};
    card->SendAPDUBytes(c.command, response, c.le);

    EXPECT_EQ(hex(response), hex(c.response));
    EXPECT_EQ(card->LastSW, 0x9000);
    const auto transmits = pcsc.calls("SCardTransmit");
    ASSERT_EQ(transmits.size(), c.sent.size());
    for (std::size_t i = 0; i < transmits.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(hex(transmits[i].command), hex(c.sent[i].command));
        EXPECT_EQ(transmits[i].pci_protocol, c.sent[i].pci_protocol);
        EXPECT_EQ(transmits[i].pci_length, sizeof(SCARD_IO_REQUEST));
        EXPECT_EQ(transmits[i].buffer_size, c.sent[i].buffer_size);
        EXPECT_FALSE(transmits[i].has_recv_pci);
    }
}

const Bytes kHeader{0x80, 0xCA, 0x9F, 0x7F};
const Bytes kSelect{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
const Bytes kSerial{0x40, 0x10, 0x62, 0x12, 0x01, 0xFF};
const Bytes kOk{0x90, 0x00};
const DWORD T0 = SCARD_PROTOCOL_T0;
const DWORD T1 = SCARD_PROTOCOL_T1;

INSTANTIATE_TEST_SUITE_P(
    IsoCases, Exchanges,
    ::testing::Values(
        ExchangeCase{"case1_t0", T0, kHeader, 0, {kOk}, {{kHeader, T0, 2}}, {}},
        ExchangeCase{"case2_t0_appends_le",
                     T0,
                     kHeader,
                     45,
                     {{0x01, 0x02, 0x03, 0x90, 0x00}},
                     {{cat(kHeader, {0x2D}), T0, 47}},
                     {0x01, 0x02, 0x03}},
        ExchangeCase{
            "case2_t0_le255", T0, kHeader, 255, {kOk}, {{cat(kHeader, {0xFF}), T0, 257}}, {}},
        ExchangeCase{"case2_t0_le256_writes_00",
                     T0,
                     kHeader,
                     256,
                     {cat(filled(256), kOk)},
                     {{cat(kHeader, {0x00}), T0, 258}},
                     filled(256)},
        ExchangeCase{"case3_t0", T0, kSelect, 0, {kOk}, {{kSelect, T0, 2}}, {}},
        ExchangeCase{"case4_t0_answered_9000", T0, kSerial, 255, {kOk}, {{kSerial, T0, 257}}, {}},
        ExchangeCase{"case4_t0_fetches_pending_bytes_with_get_response",
                     T0,
                     kSerial,
                     255,
                     {{0x61, 0x10}, cat(filled(16, 0xA0), kOk)},
                     {{kSerial, T0, 257}, {{0x00, 0xC0, 0x00, 0x00, 0x10}, T0, 257}},
                     filled(16, 0xA0)},
        ExchangeCase{"case4_t0_get_response_sized_by_le",
                     T0,
                     kSerial,
                     8,
                     {{0x61, 0x08}, cat(filled(8), kOk)},
                     {{kSerial, T0, 10}, {{0x00, 0xC0, 0x00, 0x00, 0x08}, T0, 10}},
                     filled(8)},
        // 61 00 counts 256 waiting bytes: room for them even where Le asked for fewer.
        ExchangeCase{"case4_t0_61_00_fetches_256_bytes",
                     T0,
                     kSerial,
                     255,
                     {{0x61, 0x00}, cat(filled(256), kOk)},
                     {{kSerial, T0, 257}, {{0x00, 0xC0, 0x00, 0x00, 0x00}, T0, 258}},
                     filled(256)},
        ExchangeCase{"case4_t0_61_00_keeps_a_larger_le",
                     T0,
                     kSerial,
                     300,
                     {{0x61, 0x00}, cat(filled(256), kOk)},
                     {{kSerial, T0, 302}, {{0x00, 0xC0, 0x00, 0x00, 0x00}, T0, 302}},
                     filled(256)},
        // A reader exchanging whole APDUs runs the GET RESPONSE itself.
        ExchangeCase{"case4_t0_answer_fetched_by_the_reader",
                     T0,
                     kSerial,
                     255,
                     {cat(filled(16, 0xA0), kOk)},
                     {{kSerial, T0, 257}},
                     filled(16, 0xA0)},
        ExchangeCase{"case4_t0_data_starting_61_is_data",
                     T0,
                     kSerial,
                     255,
                     {{0x61, 0x10, 0x90, 0x00}},
                     {{kSerial, T0, 257}},
                     {0x61, 0x10}},
        ExchangeCase{"case1_t1", T1, kHeader, 0, {kOk}, {{kHeader, T1, 2}}, {}},
        ExchangeCase{"case2_t1_sends_no_le",
                     T1,
                     kHeader,
                     255,
                     {{0x01, 0x02, 0x90, 0x00}},
                     {{kHeader, T1, 257}},
                     {0x01, 0x02}},
        ExchangeCase{"case3_t1", T1, kSelect, 0, {kOk}, {{kSelect, T1, 2}}, {}},
        ExchangeCase{"case4_t1_answers_directly",
                     T1,
                     kSerial,
                     255,
                     {cat(filled(8), kOk)},
                     {{kSerial, T1, 257}},
                     filled(8)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- exchanges that fail ----

struct FailureCase {
    const char* name;
    DWORD protocol;
    Bytes command;
    std::int32_t le;
    std::vector<Bytes> answers;
    int failing_transmit;  // 1-based; 0: none fails
    LONG transmit_code;
    std::string message;
    std::size_t transmits;
    std::uint16_t last_sw;  // 0: no status word was read
    DWORD overstated_answer_bytes = 0;
};

class Failures : public CardChannel, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, RaiseTheirTextAndLeaveResponseAlone) {
    const auto& c = GetParam();
    reader->card.protocol = c.protocol;
    auto card = connect();
    for (const auto& answer : c.answers) {
        reader->card.queued.push_back(answer);
    }
    if (c.failing_transmit != 0) {
        pcsc.fail_call("SCardTransmit", c.failing_transmit, c.transmit_code);
    }
    reader->card.overstated_answer_bytes = c.overstated_answer_bytes;

    Bytes response{0xEE};
    try {
        card->SendAPDUBytes(c.command, response, c.le);
        FAIL() << "no exception";
    } catch (const util::Exception& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(pcsc.count("SCardTransmit"), c.transmits);
    EXPECT_EQ(card->LastSW, c.last_sw);
    EXPECT_EQ(hex(response), "EE");
}

constexpr const char* kShort = "Card returned less than 2 bytes of data, that should not happen!";
constexpr const char* kBufferTooSmall =
    "SCardTransmit error\r\nSmartCard API error #2148532232\r\nThe data buffer to receive "
    "returned data is too small for the returned data.";
constexpr const char* kSendReceive6A82 =
    "Send + Receive error. ISO7816 error 0x6A82 (Wrong parameter(s) P1-P2. File not found)";
constexpr const char* kRemoved =
    "SCardTransmit error\r\nSmartCard API error #2148532329\r\nThe smart card has been removed, "
    "so that further communication is not possible.";

INSTANTIATE_TEST_SUITE_P(
    Table, Failures,
    ::testing::Values(
        FailureCase{"status_word_other_than_9000",
                    T0,
                    kHeader,
                    0,
                    {{0x6A, 0x82}},
                    0,
                    0,
                    "Card returned error message . ISO7816 error 0x6A82 (Wrong parameter(s) "
                    "P1-P2. File not found)",
                    1,
                    0x6A82},
        FailureCase{"case4_t0_refused_without_get_response",
                    T0,
                    kSerial,
                    255,
                    {{0x6A, 0x82}},
                    0,
                    0,
                    kSendReceive6A82,
                    1,
                    0x6A82},
        FailureCase{"case4_t0_data_then_an_error_status",
                    T0,
                    kSerial,
                    255,
                    {{0x01, 0x02, 0x6A, 0x82}},
                    0,
                    0,
                    kSendReceive6A82,
                    1,
                    0x6A82},
        // Only a bare 61 xx asks for GET RESPONSE; after data it is the status word.
        FailureCase{"case4_t0_data_then_61",
                    T0,
                    kSerial,
                    255,
                    {{0x01, 0x61, 0x10}},
                    0,
                    0,
                    "Send + Receive error. ISO7816 error 0x6110 (Wrong length Le: should be 10)",
                    1,
                    0x6110},
        FailureCase{"get_response_refused",
                    T0,
                    kSerial,
                    255,
                    {{0x61, 0x04}, {0x6A, 0x86}},
                    0,
                    0,
                    "Card returned error message . ISO7816 error 0x6A86 (Wrong parameter(s) "
                    "P1-P2. Incorrect parameters P1-P2 )",
                    2,
                    0x6A86},
        FailureCase{"6C_is_not_acted_on",
                    T0,
                    kHeader,
                    255,
                    {{0x6C, 0x10}},
                    0,
                    0,
                    "Card returned error message . ISO7816 error 0x6C10 (Wrong length Le: should "
                    "be 10)",
                    1,
                    0x6C10},
        FailureCase{"61_under_t1_is_not_acted_on",
                    T1,
                    kSerial,
                    255,
                    {{0x61, 0x10}},
                    0,
                    0,
                    "Card returned error message . ISO7816 error 0x6110 (Wrong length Le: should "
                    "be 10)",
                    1,
                    0x6110},
        FailureCase{"short_command_t0",
                    T0,
                    {0x00, 0xA4, 0x04},
                    0,
                    {},
                    0,
                    0,
                    "Unknown data send method",
                    0,
                    0},
        FailureCase{"short_command_t1",
                    T1,
                    {0x00, 0xA4, 0x04},
                    0,
                    {},
                    0,
                    0,
                    "Unknown data send method",
                    0,
                    0},
        FailureCase{"empty_command_t1", T1, {}, 255, {}, 0, 0, "Unknown data send method", 0, 0},
        FailureCase{
            "transmit_failure", T0, kHeader, 255, {}, 1, SCARD_W_REMOVED_CARD, kRemoved, 1, 0},
        FailureCase{"get_response_transmit_failure",
                    T0,
                    kSerial,
                    255,
                    {{0x61, 0x10}},
                    2,
                    SCARD_E_COMM_DATA_LOST,
                    "SCardTransmit error\r\nSmartCard API error #2148532271\r\nA communications "
                    "error with the smart card has been detected.  Retry the operation.",
                    2,
                    0},
        FailureCase{"answer_larger_than_buffer",
                    T0,
                    kHeader,
                    0,
                    {{0x01, 0x02, 0x90, 0x00}},
                    0,
                    0,
                    kBufferTooSmall,
                    1,
                    0},
        // A driver reporting more bytes than the buffer holds: no status word is read from
        // bytes it never wrote.
        FailureCase{"count_past_the_buffer_case1_t0",
                    T0,
                    kHeader,
                    0,
                    {kOk},
                    0,
                    0,
                    kBufferTooSmall,
                    1,
                    0,
                    1},
        FailureCase{"count_past_the_buffer_t1",
                    T1,
                    kSerial,
                    8,
                    {cat(filled(8), kOk)},
                    0,
                    0,
                    kBufferTooSmall,
                    1,
                    0,
                    7},
        FailureCase{"one_byte_answer_case1_t0", T0, kHeader, 0, {{0x90}}, 0, 0, kShort, 1, 0},
        FailureCase{"one_byte_answer_case2_t0", T0, kHeader, 255, {{0x90}}, 0, 0, kShort, 1, 0},
        FailureCase{"empty_answer_case3_t0", T0, kSelect, 0, {{}}, 0, 0, kShort, 1, 0},
        FailureCase{"one_byte_answer_case4_t0", T0, kSerial, 255, {{0x61}}, 0, 0, kShort, 1, 0},
        FailureCase{
            "one_byte_get_response", T0, kSerial, 255, {{0x61, 0x01}, {0x90}}, 0, 0, kShort, 2, 0},
        FailureCase{"empty_answer_t1", T1, kSerial, 255, {{}}, 0, 0, kShort, 1, 0},
        FailureCase{"negative_le",
                    T1,
                    kSerial,
                    -1,
                    {},
                    0,
                    0,
                    "Expected answer length out of range: -1",
                    0,
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- command building ----

struct BuildCase {
    const char* name;
    std::size_t data_length;
    Bytes sent_head;  // first bytes of the command sent
    std::size_t sent_length;
};

class CommandBuilding : public CardChannel, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(CommandBuilding, WritesLcAndDataButNeverLe) {
    const auto& c = GetParam();
    auto card = connect();  // T=1: the command goes out exactly as built
    reader->card.default_answer = kOk;
    const Bytes data = filled(c.data_length, 0x01);
    Bytes response;
    card->SendAPDU(0x40, 0x10, 0x62, 0x12, response, 255,
                   util::TKUDynArray::ByteStreamToString(data));

    const auto transmits = pcsc.calls("SCardTransmit");
    ASSERT_EQ(transmits.size(), 1u);
    const Bytes& sent = transmits[0].command;
    ASSERT_EQ(sent.size(), c.sent_length);
    EXPECT_EQ(hex(Bytes(sent.begin(), sent.begin() + c.sent_head.size())), hex(c.sent_head));
    if (sent.size() > 5) {
        EXPECT_EQ(hex(Bytes(sent.begin() + 5, sent.end())), hex(filled(sent.size() - 5, 0x01)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    DataLengths, CommandBuilding,
    ::testing::Values(
        BuildCase{"no_data", 0, {0x40, 0x10, 0x62, 0x12}, 4},
        BuildCase{"one_byte", 1, {0x40, 0x10, 0x62, 0x12, 0x01, 0x01}, 6},
        BuildCase{"250_bytes", 250, {0x40, 0x10, 0x62, 0x12, 0xFA}, 255},
        BuildCase{"255_bytes_the_most_lc_counts", 255, {0x40, 0x10, 0x62, 0x12, 0xFF}, 260}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardChannel, DongleCommandGoesOutAsSixBytesThenGetResponseUnderT0) {
    reader->card.protocol = SCARD_PROTOCOL_T0;
    reader->card.answer_via_get_response(kSerial, cat(filled(10), kOk));
    auto card = connect();
    Bytes response;
    card->SendAPDU(0x40, 0x10, 0x62, 0x12, response, 255, std::string(1, '\xFF'));
    EXPECT_EQ(hex(response), hex(filled(10)));
    const auto transmits = pcsc.calls("SCardTransmit");
    ASSERT_EQ(transmits.size(), 2u);
    EXPECT_EQ(hex(transmits[0].command),
              "40106212"
              "01FF");
    EXPECT_EQ(hex(transmits[1].command), "00C000000A");
}

TEST_F(CardChannel, DataBeyondWhatLcCountsIsRefusedBeforeSending) {
    auto card = connect();
    for (std::size_t length : {256u, 257u, 300u, 256u + 251u}) {
        Bytes response{0xEE};
        try {
            card->SendAPDU(0x00, 0xDA, 0x00, 0x00, response, 0, std::string(length, 'x'));
            FAIL() << length;
        } catch (const EKSCardAPIWinAPIException& e) {
            EXPECT_EQ(std::string(e.what()), "Command data too long for a command APDU: " +
                                                 std::to_string(length) + " bytes");
            EXPECT_EQ(e.ErrorCode, 0u);
        }
        EXPECT_EQ(hex(response), "EE");
    }
    EXPECT_EQ(pcsc.count("SCardTransmit"), 0u);
}

TEST_F(CardChannel, LastSwFollowsEachExchangeThatReadOne) {
    auto card = connect();
    EXPECT_EQ(card->LastSW, 0);
    reader->card.queued = {{0x6A, 0x82}, kOk};
    Bytes response;
    EXPECT_THROW(card->SendAPDUBytes(kHeader, response, 0), EKSCardAPIISO7816Excepion);
    EXPECT_EQ(card->LastSW, 0x6A82);
    card->SendAPDUBytes(kHeader, response, 0);
    EXPECT_EQ(card->LastSW, 0x9000);
    pcsc.fail_call("SCardTransmit", 3, SCARD_W_REMOVED_CARD);
    EXPECT_THROW(card->SendAPDUBytes(kHeader, response, 0), EKSCardAPIWinAPIException);
    EXPECT_EQ(card->LastSW, 0x9000);
}

// ---- the ATR and the card's lifetime ----

TEST_F(CardChannel, ReadsTheAtrAttributeAndHandsItsMemoryBack) {
    auto card = connect();
    EXPECT_EQ(card->ATR.GetAsHexString(), hex(kAtr));
    const auto attribs = pcsc.calls("SCardGetAttrib");
    ASSERT_EQ(attribs.size(), 1u);
    EXPECT_EQ(attribs[0].attribute, 0x00090303u);
    EXPECT_EQ(attribs[0].buffer_size, SCARD_AUTOALLOCATE);
    ASSERT_EQ(pcsc.count("SCardFreeMemory"), 1u);
    EXPECT_EQ(pcsc.calls("SCardFreeMemory")[0].context, context);
    EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
    EXPECT_EQ(pcsc.count("SCardStatus"), 0u);
}

TEST_F(CardChannel, ReadsTheAtrFromTheStatusWhenTheDriverLacksTheAttribute) {
    reader->get_attrib_result = SCARD_E_UNSUPPORTED_FEATURE;
    auto card = connect();
    EXPECT_EQ(card->ATR.GetAsHexString(), hex(kAtr));
    EXPECT_EQ(pcsc.count("SCardStatus"), 1u);
    EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
}

TEST_F(CardChannel, ReadsTheAtrFromTheStatusWhenTheLibraryLacksGetAttrib) {
    UnloadWinSCard();
    auto& partial = fakepcsc::state(FAKE_PCSC_PARTIAL_LIBRARY);
    partial.reset();
    partial.add_reader(kReader).card.atr = kAtr;
    ASSERT_TRUE(LoadWinSCard(FAKE_PCSC_PARTIAL_LIBRARY));
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    auto card = connect();
    EXPECT_EQ(card->ATR.GetAsHexString(), hex(kAtr));
}

TEST_F(CardChannel, FailingAtrReadReportsTheFirstCodeAndDisconnectsOnce) {
    reader->get_attrib_result = SCARD_E_UNSUPPORTED_FEATURE;
    reader->status_result = SCARD_E_COMM_DATA_LOST;
    try {
        connect();
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_EQ(e.ErrorCode, static_cast<std::uint32_t>(SCARD_E_UNSUPPORTED_FEATURE));
        EXPECT_EQ(std::string(e.what()), "Error getting card ATR!\r\nSmartCard API error #" +
                                             std::to_string(e.ErrorCode) + "\r\n" +
                                             SCardErrorText(SCARD_E_UNSUPPORTED_FEATURE));
    }
    const auto disconnects = pcsc.calls("SCardDisconnect");
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].card, pcsc.last_card());
    EXPECT_EQ(disconnects[0].disposition, static_cast<DWORD>(SCARD_LEAVE_CARD));
    EXPECT_EQ(pcsc.open_connections(), 0u);
}

TEST_F(CardChannel, FailingToFreeTheAtrIsReportedAndDisconnectsOnce) {
    pcsc.fail_call("SCardFreeMemory", 1, SCARD_E_INVALID_HANDLE);
    try {
        connect();
        FAIL() << "no exception";
    } catch (const EKSCardAPIWinAPIException& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Error freeing memory after getting ATR!\r\nSmartCard API error "
                  "#2148532227\r\nThe supplied handle was invalid.");
    }
    EXPECT_EQ(pcsc.disconnects(pcsc.last_card()), 1u);
}

TEST_F(CardChannel, DestructionDisconnectsTheCardOnceLeavingItAsItIs) {
    auto card = connect();
    const SCARDHANDLE handle = card->CardHandle;
    EXPECT_EQ(pcsc.disconnects(handle), 0u);
    card.reset();
    ASSERT_EQ(pcsc.disconnects(handle), 1u);
    EXPECT_EQ(pcsc.calls("SCardDisconnect")[0].disposition, static_cast<DWORD>(SCARD_LEAVE_CARD));
}

// A card class of the kind the GlobalPlatform layer builds: its Refresh extends the base one.
struct Throw {
    bool in_constructor = false;
    bool in_refresh = false;
};

class DerivedCard : public TKSCardAPICardBase {
public:
    struct Argument {
        // Converting throws before any part of the card exists.
        Argument(int value) {
            if (value < 0) {
                throw std::runtime_error("bad argument");
            }
        }
    };

    DerivedCard(CardConnection connection, DWORD protocol, const std::string& reader_name,
                Throw how, Argument)
        : TKSCardAPICardBase(std::move(connection), protocol, reader_name), m_how(how) {
        if (m_how.in_constructor) {
            throw std::runtime_error("constructor failed");
        }
    }

    void Refresh() override {
        TKSCardAPICardBase::Refresh();
        ++refreshes;
        atr_seen = ATR.GetAsHexString();
        if (m_how.in_refresh) {
            throw std::runtime_error("refresh failed");
        }
    }

    int refreshes = 0;
    std::string atr_seen;

private:
    Throw m_how;
};

TEST_F(CardChannel, ConstructionEndsWithTheMostDerivedRefreshAfterTheBaseOne) {
    auto card = connect<DerivedCard>(Throw{}, 0);
    EXPECT_EQ(card->refreshes, 1);
    EXPECT_EQ(card->atr_seen, hex(kAtr));
    EXPECT_EQ(pcsc.count("SCardGetAttrib"), 1u);
}

struct ConstructionFailure {
    const char* name;
    Throw how;
    int argument;
    const char* message;
    std::size_t attribute_reads;
};

class FailedConstruction : public CardChannel,
                           public ::testing::WithParamInterface<ConstructionFailure> {};

TEST_P(FailedConstruction, DisconnectsTheCardExactlyOnceAndPassesTheExceptionOn) {
    const auto& c = GetParam();
    try {
        connect<DerivedCard>(c.how, c.argument);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.message);
    }
    ASSERT_NE(pcsc.last_card(), 0);
    EXPECT_EQ(pcsc.disconnects(pcsc.last_card()), 1u);
    EXPECT_EQ(pcsc.open_connections(), 0u);
    EXPECT_EQ(pcsc.count("SCardGetAttrib"), c.attribute_reads);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailedConstruction,
    ::testing::Values(ConstructionFailure{"before_the_base_part", Throw{}, -1, "bad argument", 0},
                      ConstructionFailure{"in_the_derived_constructor", Throw{true, false}, 0,
                                          "constructor failed", 0},
                      ConstructionFailure{"in_the_derived_refresh", Throw{false, true}, 0,
                                          "refresh failed", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the owners of what PC/SC hands out ----

enum class Owned { Context, Card, Buffer };
const char* const kOwnedNames[] = {"context", "card", "buffer"};
const char* const kReleaseFunctions[] = {"SCardReleaseContext", "SCardDisconnect",
                                         "SCardFreeMemory"};

enum class Life { Destroyed, MovedOut, MoveAssignedOverEmpty, MoveAssignedOverHeld, Reset, Empty };
const char* const kLifeNames[] = {"destroyed",          "moved_out",   "assigned_over_empty",
                                  "assigned_over_held", "reset_twice", "never_held"};

// Plays one life of an owner; returns how many handles it took from the library.
template <class Owner, class Make, class MakeEmpty>
std::size_t live(Life life, Make make, MakeEmpty make_empty) {
    Owner owner = life == Life::Empty ? make_empty() : make();
    if (life == Life::MovedOut) {
        Owner other(std::move(owner));
    } else if (life == Life::MoveAssignedOverEmpty || life == Life::MoveAssignedOverHeld) {
        Owner other = life == Life::MoveAssignedOverHeld ? make() : make_empty();
        other = std::move(owner);
        return life == Life::MoveAssignedOverHeld ? 2 : 1;
    } else if (life == Life::Reset || life == Life::Empty) {
        owner.reset();
        owner.reset();
    }
    return life == Life::Empty ? 0 : 1;
}

class OwnerTest : public CardChannel {
protected:
    CardConnection connect_shared() {
        SCARDHANDLE card = 0;
        DWORD active = 0;
        EXPECT_EQ(
            SCardConnectA(context, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active),
            SCARD_S_SUCCESS);
        return CardConnection(context, card);
    }

    PcscBuffer<char> reader_list() {
        PcscBuffer<char> list(context);
        DWORD length = SCARD_AUTOALLOCATE;
        EXPECT_EQ(SCardListReadersA(context, nullptr, list.receive<LPSTR>(), &length),
                  SCARD_S_SUCCESS);
        return list;
    }
};

class Owners : public OwnerTest, public ::testing::WithParamInterface<std::tuple<Owned, Life>> {};

TEST_P(Owners, GiveEveryHandleBackExactlyOnce) {
    const auto [owned, life] = GetParam();
    std::size_t taken = 0;
    if (owned == Owned::Context) {
        taken = live<PcscContext>(
            life, [] { return establish_context(SCARD_SCOPE_USER); }, [] { return PcscContext(); });
    } else if (owned == Owned::Card) {
        taken = live<CardConnection>(
            life, [&] { return connect_shared(); }, [] { return CardConnection(); });
    } else {
        taken = live<PcscBuffer<char>>(
            life, [&] { return reader_list(); }, [&] { return PcscBuffer<char>(context); });
    }
    // A second release of the same handle would fail in the fake; a missing one would leave it
    // open.
    const auto releases = pcsc.calls(kReleaseFunctions[static_cast<int>(owned)]);
    EXPECT_EQ(releases.size(), taken);
    for (const auto& release : releases) {
        EXPECT_EQ(release.result, SCARD_S_SUCCESS);
    }
    EXPECT_EQ(pcsc.open_contexts(), 1u);  // the fixture's own
    EXPECT_EQ(pcsc.open_connections(), 0u);
    EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryLife, Owners,
    ::testing::Combine(::testing::Values(Owned::Context, Owned::Card, Owned::Buffer),
                       ::testing::Values(Life::Destroyed, Life::MovedOut,
                                         Life::MoveAssignedOverEmpty, Life::MoveAssignedOverHeld,
                                         Life::Reset, Life::Empty)),
    [](const auto& info) {
        return std::string(kOwnedNames[static_cast<int>(std::get<0>(info.param))]) + "_" +
               kLifeNames[static_cast<int>(std::get<1>(info.param))];
    });

struct CheckedFree {
    const char* name;
    LONG free_result;
    std::string message;  // empty: no exception
};

class CheckedRelease : public OwnerTest, public ::testing::WithParamInterface<CheckedFree> {};

TEST_P(CheckedRelease, FreesOnceAndReportsAFailedFree) {
    const auto& c = GetParam();
    pcsc.fail_call("SCardFreeMemory", 1, c.free_result);
    {
        PcscBuffer<char> list = reader_list();
        try {
            list.release_checked("Freeing failed");
            EXPECT_EQ(c.message, "");
        } catch (const EKSCardAPIWinAPIException& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.ErrorCode, static_cast<std::uint32_t>(c.free_result));
        }
        EXPECT_EQ(list.get(), nullptr);
    }
    EXPECT_EQ(pcsc.count("SCardFreeMemory"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckedRelease,
    ::testing::Values(CheckedFree{"freed", SCARD_S_SUCCESS, ""},
                      CheckedFree{"refused", SCARD_E_INVALID_HANDLE,
                                  "Freeing failed\r\nSmartCard API error #2148532227\r\nThe "
                                  "supplied handle was invalid."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::card
