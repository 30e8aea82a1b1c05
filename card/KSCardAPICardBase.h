#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "card/PcscOwners.h"
#include "card/WinSCard.h"
#include "util/Bytes.h"
#include "util/KUDynArraySoftLenContainer.h"

namespace qel::card {

// One connected card: owns the connection, reads the ATR and exchanges command APDUs over T=0
// or T=1, turning every failure into an exception with a readable text.
//
// Cards are made through Create<T>(...), which constructs the object and then runs the most
// derived Refresh, something a constructor cannot do (inside a base constructor a virtual call
// reaches the base version only). The connection moves into the card's constructor, so whatever
// throws on the way (an argument, T's constructor, Refresh), the card is disconnected exactly
// once: by whichever owner holds the connection at that moment. A derived class follows this
// pattern:
//
//     class TMyCard : public TKSCardAPICardBase {
//     public:
//         TMyCard(CardConnection connection, DWORD protocol, const std::string& reader_name)
//             : TKSCardAPICardBase(std::move(connection), protocol, reader_name) {}
//         void Refresh() override { TKSCardAPICardBase::Refresh(); /* ... */ }
//     };
//     auto card = TKSCardAPICardBase::Create<TMyCard>(std::move(connection), protocol, name);
class TKSCardAPICardBase {
public:
    template <class T, class... Extra>
    static std::unique_ptr<T> Create(CardConnection&& connection, DWORD protocol,
                                     const std::string& reader_name, Extra&&... extra) {
        static_assert(std::is_base_of_v<TKSCardAPICardBase, T>);
        auto card = std::make_unique<T>(std::move(connection), protocol, reader_name,
                                        std::forward<Extra>(extra)...);
        card->Refresh();
        return card;
    }

    TKSCardAPICardBase(CardConnection connection, DWORD protocol, const std::string& reader_name);
    virtual ~TKSCardAPICardBase() = default;

    TKSCardAPICardBase(const TKSCardAPICardBase&) = delete;
    TKSCardAPICardBase& operator=(const TKSCardAPICardBase&) = delete;

    // Reads the card's ATR into ATR. Derived classes call this version first.
    virtual void Refresh();

    // Builds CLA INS P1 P2 [Lc data] with build_short_command (Le is never written here; the
    // exchange adds it where the protocol wants it) and runs SendAPDUBytes.
    void SendAPDU(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                  util::ByteArray& response, std::int32_t le, const util::ByteString& data = {});

    // Picks the exchange by protocol, command length and Le. On return Response holds the answer
    // data without the status word; after an exception it is left as it was.
    void SendAPDUBytes(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);

    void SendCase1T0(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);
    void SendCase2T0(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);
    void SendCase3T0(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);
    void SendCase4T0(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);
    void SendT1(const util::ByteArray& command, util::ByteArray& response, std::int32_t le);

    static void CheckTransmitResult(LONG result);
    static void CheckStatusWord(std::uint16_t status_word);
    // SW1 SW2 from the last two of the first `count` bytes.
    static std::uint16_t StatusWordAt(const util::ByteArray& bytes, std::size_t count);

protected:
    // SendAPDU with the data as bytes wherever they lie: the command is built on the stack.
    void send_apdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                   std::span<const std::uint8_t> data, util::ByteArray& response, std::int32_t le);

private:
    // SendAPDUBytes and SendCase4T0 for a command wherever it lies: commands built on the stack
    // go out without a copy.
    void send_apdu_bytes(std::span<const std::uint8_t> command, util::ByteArray& response,
                         std::int32_t le);
    void send_case4_t0(std::span<const std::uint8_t> command, util::ByteArray& response,
                       std::int32_t le);
    std::size_t transmit(const SCARD_IO_REQUEST& send_pci, std::span<const std::uint8_t> command,
                         std::span<std::uint8_t> answer);
    void exchange(const SCARD_IO_REQUEST& send_pci, std::span<const std::uint8_t> command,
                  std::size_t answer_size, util::ByteArray& response);

    // Declared first: it holds the card before anything else of the object is built and lets it
    // go only after everything else is gone.
    CardConnection m_connection;

public:
    const SCARDCONTEXT Context;
    const SCARDHANDLE CardHandle;
    const DWORD Protocol;  // 1 = T=0, 2 = T=1
    const SCARD_IO_REQUEST SendPci;
    const std::string ReaderName;
    util::TKUDynArraySoftLenContainer ATR;
    std::uint16_t LastSW = 0;
};

// The most command data the one Lc byte of a short command APDU can count.
inline constexpr std::size_t kMaxCommandDataLength = 255;

// The command buffer commands are built in: header, Lc and the most data.
inline constexpr std::size_t kCommandBufferSize = 4 + 1 + kMaxCommandDataLength;

// Largest answer length an exchange accepts (the extended-length maximum).
inline constexpr std::int32_t kMaxExpectedLength = 65536;

inline constexpr const char* kErrCommandDataTooLong = "Command data too long for a command APDU: ";
inline constexpr const char* kErrExpectedLengthRange = "Expected answer length out of range: ";

// The one shape of every command the card layers build: CLA INS P1 P2, then Lc and the data when
// there is any, never Le. Data beyond kMaxCommandDataLength raises EKSCardAPIWinAPIException
// kErrCommandDataTooLong with its length: a count cut to one byte would send another command.
util::ByteArray build_short_command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1,
                                    std::uint8_t p2, std::span<const std::uint8_t> data);

}  // namespace qel::card
