#pragma once

// A test fixture for the layers above the card channel: the PC/SC binding loads the fake PC/SC
// library, and helpers script the cards these layers meet (GlobalPlatform cards, the dongle).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "card/WinSCard.h"
#include "tests/fakepcsc/fake_pcsc.h"

namespace qel::testing {

using fakepcsc::Bytes;

// ATR of the e-gate profile, the first entry of the built-in card profiles.
inline const Bytes kEgateAtr{0x3B, 0x75, 0x94, 0x00, 0x00, 0x62, 0x02, 0x02, 0x03, 0x01};
inline const Bytes kCardManagerAid{0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
inline const Bytes kDongleAid{0x71, 0x65, 0x6C, 0x32, 0x31, 0x01, 0x01, 0x01};
inline const Bytes kSw9000{0x90, 0x00};

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// SELECT by AID as the GlobalPlatform builder makes it: 00 A4 04 00 Lc AID.
inline Bytes select_apdu(const Bytes& aid) {
    return concat({0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(aid.size())}, aid);
}

inline const Bytes kGetCplc{0x80, 0xCA, 0x9F, 0x7F};

// The GET DATA answer for the CPLC: 9F 7F 2A and 42 bytes, the IC serial at answer offset 15,
// the batch id at 19 and the module fabricator at 21; the other bytes count up from 0x10.
inline Bytes cplc_answer(const Bytes& ic_serial, const Bytes& batch = {0xB1, 0xB2},
                         const Bytes& fabricator = {0xF1, 0xF2}) {
    Bytes answer{0x9F, 0x7F, 0x2A};
    for (std::uint8_t i = 0; i < 42; ++i)
        answer.push_back(static_cast<std::uint8_t>(0x10 + i));
    std::copy(ic_serial.begin(), ic_serial.end(), answer.begin() + 15);
    std::copy(batch.begin(), batch.end(), answer.begin() + 19);
    std::copy(fabricator.begin(), fabricator.end(), answer.begin() + 21);
    return answer;
}

class FakePcscTest : public ::testing::Test {
protected:
    void SetUp() override {
        pcsc.reset();
        ASSERT_TRUE(card::LoadWinSCard(FAKE_PCSC_LIBRARY));
    }
    void TearDown() override { card::UnloadWinSCard(); }

    // A reader holding an e-gate card that answers SELECT of its card manager, and of `applets`.
    fakepcsc::FakeCard& add_gp_card(const std::string& reader, DWORD protocol = SCARD_PROTOCOL_T1,
                                    const std::vector<Bytes>& applets = {}) {
        auto& card = pcsc.add_reader(reader).card;
        card.atr = kEgateAtr;
        card.protocol = protocol;
        card.default_answer = {0x6A, 0x82};
        card.answer(select_apdu(kCardManagerAid), kSw9000);
        for (const auto& aid : applets)
            card.answer(select_apdu(aid), kSw9000);
        return card;
    }

    // A reader holding the QEL dongle: its applet answers the three read commands (sent as
    // 40 10 P1 P2 01 FF) with the given bytes. Under T=0 the answers come on GET RESPONSE, as a
    // real T=0 card hands them out.
    fakepcsc::FakeCard& add_dongle(const std::string& reader, DWORD protocol = SCARD_PROTOCOL_T1,
                                   const Bytes& serial = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60,
                                                          0x71},
                                   const Bytes& firmware = {0x01, 0x0A},
                                   const Bytes& error_code = {0x00, 0x2A}) {
        auto& card = add_gp_card(reader, protocol, {kDongleAid});
        const auto answer = [&card, protocol](std::uint8_t p2, const Bytes& data) {
            Bytes command{0x40, 0x10, 0x62, p2, 0x01, 0xFF};
            if (protocol == SCARD_PROTOCOL_T0 && !data.empty()) {
                card.answer_via_get_response(command, concat(data, kSw9000));
            } else {
                card.answer(command, concat(data, kSw9000));
            }
        };
        answer(0x12, serial);
        answer(0xB2, firmware);
        answer(0x20, error_code);
        return card;
    }

    // The transmits made so far, as the command bytes sent.
    std::vector<Bytes> sent() const {
        std::vector<Bytes> commands;
        for (const auto& call : pcsc.calls("SCardTransmit"))
            commands.push_back(call.command);
        return commands;
    }

    // Every handle connected was disconnected exactly once, every library buffer freed.
    void expect_everything_released() const {
        for (const auto& call : pcsc.calls("SCardConnect")) {
            if (call.result == SCARD_S_SUCCESS) {
                EXPECT_EQ(pcsc.disconnects(call.card), 1u) << "card handle " << call.card;
            }
        }
        EXPECT_EQ(pcsc.open_connections(), 0u);
        EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
    }

    fakepcsc::FakePcsc& pcsc = fakepcsc::state();
};

}  // namespace qel::testing
