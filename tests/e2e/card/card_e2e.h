#pragma once

// Our card library against the real stack: the PC/SC binding loads pcsc-lite, and cards are
// connected through the binding's own entries, never through the test's raw pcsc-lite client
// (which only watches from the side: who holds a reader, what pcsc-lite answers).

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/KSCardAPICardBase.h"
#include "card/WinSCard.h"
#include "tests/e2e/support/e2e_test.h"
#include "util/Bytes.h"

namespace qel::e2e {

using Options = std::vector<std::string>;

inline const std::string kDongleAidHex = "71656C3231010101";
inline const std::string kCardManagerAidHex = "A0000000030000";
inline const std::string kAtrT0Hex = "3B759400006202020301";
inline const std::string kAtrT1Hex = "3B880151454C2D444F4E47FE";

// The dongle's three reads: 40 10 62 P2, data FF.
inline constexpr std::uint8_t kP2Serial = 0x12;
inline constexpr std::uint8_t kP2Firmware = 0xB2;
inline constexpr std::uint8_t kP2ErrorCode = 0x20;

// The virtual card's defaults for those reads, and the CPLC bytes behind its IC serial.
inline const std::string kDefaultSerial = "0A1B2C3D4E5F6071";
inline const std::string kDefaultFirmware = "010A";
inline const std::string kDefaultErrorCode = "002A";
inline const std::string kCplcBatchAndModule = "01024812";

inline Options with_protocol(Options options, bool t1) {
    if (t1)
        options.push_back("--t1");
    return options;
}

inline std::string protocol_suffix(bool t1) {
    return t1 ? "_T1" : "_T0";
}

// A PC/SC context of the test made through the binding, released with the object.
class BoundContext {
public:
    BoundContext();  // throws PcscError
    ~BoundContext();
    BoundContext(const BoundContext&) = delete;
    BoundContext& operator=(const BoundContext&) = delete;

    SCARDCONTEXT get() const { return m_context; }

private:
    SCARDCONTEXT m_context = 0;
};

// Loads pcsc-lite through the binding for each test and drops it afterwards.
class CardE2eTest : public E2eTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // SCardConnectA through the binding, then Create<T>: the card owns the handle from there.
    // Throws PcscError with SCardConnect's code.
    template <class T = card::TKSCardAPICardBase>
    std::unique_ptr<T> connect(const BoundContext& context, const std::string& reader,
                               DWORD share_mode = SCARD_SHARE_SHARED) {
        SCARDHANDLE handle = 0;
        DWORD protocol = 0;
        const LONG rv =
            card::SCardConnectA(context.get(), reader.c_str(), share_mode,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
        if (rv != SCARD_S_SUCCESS)
            throw PcscError("SCardConnect", rv);
        return card::TKSCardAPICardBase::Create<T>(card::CardConnection(context.get(), handle),
                                                   protocol, reader);
    }

    // True when nobody holds the reader's card any more: an exclusive connection of the test's
    // own raw client succeeds (and is let go at once). Otherwise adds a failure naming the code.
    ::testing::AssertionResult reader_is_free(const std::string& reader) const;
};

// The command APDUs a virtual card received so far, as hex without separators, in order.
std::vector<std::string> commands_received(const VirtualCard& card);

// The message of the exception `action` raises, or a failure when it raises none.
std::string failure_text(const std::function<void()>& action);

// Runs `action` on a thread of its own and fails the test when it has not returned within
// `bound`; `unblock`, which must make the action return, then runs before the wait goes on. An
// exception of the action passes on to the caller.
void run_bounded(std::chrono::milliseconds bound, const std::function<void()>& action,
                 const std::function<void()>& unblock);

}  // namespace qel::e2e
