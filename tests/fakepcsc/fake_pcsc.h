#pragma once

// Control side of the fake PC/SC library. The library (libfakepcsc.so) exports the SCard*
// functions under pcsc-lite's names and signatures and plays readers, cards and failures as the
// state below says; tests script that state and read the log of calls it recorded.
//
// The state lives inside the library. A test reaches it with fakepcsc::state(), which opens the
// library by the same path the PC/SC binding loads (FAKE_PCSC_LIBRARY), so both see one instance:
//
//     auto& pcsc = fakepcsc::state();
//     pcsc.reset();
//     auto& card = pcsc.add_reader("Reader A").card;
//     card.atr = {0x3B, 0x88, 0x01};
//     card.protocol = SCARD_PROTOCOL_T0;
//     card.answer_via_get_response({0x40, 0x10, 0x62, 0x12, 0x01, 0xFF}, {0x0A, 0x1B, 0x90, 0x00});
//     qel::card::LoadWinSCard(FAKE_PCSC_LIBRARY);
//     ... run the code under test ...
//     EXPECT_EQ(pcsc.outstanding_allocations(), 0u);
//
// Everything here is header-only so that tests need not link the library: they and the library
// compile the same inline definitions.

#include <dlfcn.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fakepcsc {

using Bytes = std::vector<std::uint8_t>;

// A scripted answer: a command (or a command prefix) and the response APDU, data then SW1 SW2.
struct ApduRule {
    Bytes command;
    Bytes answer;
    bool prefix = false;
    // T=0 style: the card answers 61 xx and hands `answer` out on the following GET RESPONSE.
    bool via_get_response = false;

    bool matches(const Bytes& sent) const {
        if (prefix) {
            return sent.size() >= command.size() &&
                   std::equal(command.begin(), command.end(), sent.begin());
        }
        return sent == command;
    }
};

struct FakeCard {
    Bytes atr{0x3B, 0x88, 0x01, 0x51, 0x45, 0x4C, 0x2D, 0x44, 0x4F, 0x4E, 0x47, 0xFE};
    // Active protocol SCardConnect reports. A value other than T=0 or T=1 (4, say) is reported
    // as it is, for the protocol refusal path.
    DWORD protocol = SCARD_PROTOCOL_T1;

    // Answer order for each transmit: a pending GET RESPONSE, the one-shot FIFO, the responder,
    // the first matching rule, the default answer.
    std::deque<Bytes> queued;
    std::function<std::optional<Bytes>(const Bytes& command)> responder;
    std::vector<ApduRule> rules;
    Bytes default_answer{0x6D, 0x00};

    // Answers waiting for a GET RESPONSE (00 C0 00 00 xx) after a 61 xx.
    std::optional<Bytes> pending_get_response;

    // Non-zero: SCardTransmit writes the answer as usual but reports this many bytes more than it
    // wrote, however small the caller's buffer, as a broken driver might.
    DWORD overstated_answer_bytes = 0;

    void answer(Bytes command, Bytes response) {
        rules.push_back({std::move(command), std::move(response), false, false});
    }
    void answer_prefix(Bytes command_prefix, Bytes response) {
        rules.push_back({std::move(command_prefix), std::move(response), true, false});
    }
    // What a T=0 card does with a command that has data: 61 xx, then the answer on GET RESPONSE.
    void answer_via_get_response(Bytes command, Bytes response) {
        rules.push_back({std::move(command), std::move(response), false, true});
    }
};

struct FakeReader {
    std::string name;
    bool card_present = true;
    FakeCard card;
    // Non-zero: SCardConnect to this reader fails with it (0x8010000B sharing violation, ...).
    LONG connect_result = SCARD_S_SUCCESS;
    // Non-zero: SCardGetAttrib fails with it. SCARD_E_UNSUPPORTED_FEATURE plays a driver that does
    // not serve the ATR attribute, as the virtual reader used end to end does.
    LONG get_attrib_result = SCARD_S_SUCCESS;
    // Non-zero: SCardStatus fails with it.
    LONG status_result = SCARD_S_SUCCESS;
    // Insertions and removals so far, which SCardGetStatusChange reports in the upper 16 bits of
    // the reader's event state, as pcsc-lite does.
    DWORD card_events = 0;

    void insert_card() {
        card_present = true;
        ++card_events;
    }
    void remove_card() {
        card_present = false;
        ++card_events;
    }
};

// One recorded call. Fields a function does not take stay 0 / empty.
struct Call {
    std::string function;
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    std::string reader;
    DWORD scope = 0;
    DWORD share_mode = 0;
    DWORD preferred_protocols = 0;
    DWORD disposition = 0;
    DWORD attribute = 0;
    bool has_send_pci = false;
    DWORD pci_protocol = 0;
    DWORD pci_length = 0;
    bool has_recv_pci = false;
    Bytes command;
    // Size of the caller's buffer as passed in (SCARD_AUTOALLOCATE when the library allocates).
    DWORD buffer_size = 0;
    const void* memory = nullptr;  // SCardFreeMemory's pointer
    LONG result = 0;
};

struct Connection {
    std::size_t reader = 0;
    DWORD share_mode = 0;
};

class FakePcsc {
public:
    // ---- set-up ----

    // Starts clean: no readers, no scripts, no log; library memory still held is released.
    void reset() {
        for (void* p : allocations) {
            std::free(p);
        }
        *this = FakePcsc();
    }

    // Readers live in a deque: references stay valid while more are added.
    FakeReader& add_reader(std::string name) {
        readers.push_back(FakeReader{});
        readers.back().name = std::move(name);
        return readers.back();
    }
    // Unplugs a reader: its connections go with it, references to readers after it are no longer
    // valid.
    void remove_reader(std::string_view name) {
        for (std::size_t index = 0; index < readers.size(); ++index) {
            if (readers[index].name != name) {
                continue;
            }
            for (auto it = connections.begin(); it != connections.end();) {
                if (it->second.reader == index) {
                    it = connections.erase(it);
                    continue;
                }
                if (it->second.reader > index) {
                    --it->second.reader;
                }
                ++it;
            }
            readers.erase(readers.begin() + static_cast<std::ptrdiff_t>(index));
            return;
        }
        throw std::out_of_range("fake PC/SC: no reader " + std::string(name));
    }
    FakeReader& reader(std::string_view name) {
        for (auto& r : readers) {
            if (r.name == name) {
                return r;
            }
        }
        throw std::out_of_range("fake PC/SC: no reader " + std::string(name));
    }

    // With no readers (and no raw list) SCardListReaders hands out an empty list; pcsc-lite
    // answers SCARD_E_NO_READERS_AVAILABLE instead, which fail_always("SCardListReaders", ...)
    // plays.
    //
    // The reader list as SCardListReaders hands it out, byte for byte (for odd lists such as a
    // one-character name); SCardConnect still looks readers up in `readers`.
    void set_raw_reader_list(std::string multi_string) {
        raw_reader_list = std::move(multi_string);
    }

    // The `call_index`-th call (1-based) of `function` returns `code` without doing anything else.
    // `function` is pcsc-lite's name: "SCardTransmit", "SCardListReaders", ...
    void fail_call(const std::string& function, int call_index, LONG code) {
        scripted[function][call_index] = code;
    }
    // Every call of `function` not scripted by index returns `code` without doing anything else.
    void fail_always(const std::string& function, LONG code) { default_results[function] = code; }

    // What happens while SCardGetStatusChange waits. A call that finds nothing to report makes
    // the first change left here and looks again; the pseudo-reader \\?PnP?\Notification
    // reports a change once the readers differ from those the call began with. With no change
    // left, a call with a finite timeout returns SCARD_E_TIMEOUT at once, and one with INFINITE
    // blocks until SCardCancel on its context, from another thread, and returns
    // SCARD_E_CANCELLED. As in pcsc-lite, SCardCancel ends only a wait under way.
    std::deque<std::function<void(FakePcsc&)>> status_changes;

    // ---- inspection ----

    std::vector<Call> calls(std::string_view function) const {
        std::vector<Call> found;
        for (const auto& c : log) {
            if (c.function == function) {
                found.push_back(c);
            }
        }
        return found;
    }
    std::size_t count(std::string_view function) const { return calls(function).size(); }
    std::size_t disconnects(SCARDHANDLE card) const {
        std::size_t n = 0;
        for (const auto& c : log) {
            n += c.function == "SCardDisconnect" && c.card == card;
        }
        return n;
    }
    // Buffers the library allocated (SCARD_AUTOALLOCATE) and nobody has freed yet.
    std::size_t outstanding_allocations() const { return allocations.size(); }
    std::size_t open_contexts() const { return contexts.size(); }
    std::size_t open_connections() const { return connections.size(); }
    // The handle of the last successful SCardConnect, 0 when none.
    SCARDHANDLE last_card() const { return last_connected; }

    // ---- state, read and written by the library ----

    std::deque<FakeReader> readers;
    std::optional<std::string> raw_reader_list;
    std::map<std::string, std::map<int, LONG>> scripted;
    std::map<std::string, LONG> default_results;
    std::map<std::string, int> call_counts;
    std::vector<Call> log;
    std::set<void*> allocations;
    std::set<SCARDCONTEXT> contexts;
    std::map<SCARDHANDLE, Connection> connections;
    SCARDCONTEXT next_context = 0x1000;
    SCARDHANDLE next_card = 0x20000;
    SCARDHANDLE last_connected = 0;
};

}  // namespace fakepcsc

// Exported by the library: its one state, and a wait until a SCardGetStatusChange call blocks
// (true) or `timeout_ms` passes (false).
extern "C" fakepcsc::FakePcsc* fake_pcsc_state();
extern "C" bool fake_pcsc_wait_until_blocked(long timeout_ms);

namespace fakepcsc {

// An export of the fake library at `path`, opened the way the PC/SC binding opens it so both
// share one instance. The library stays loaded for the rest of the process, so its state
// survives the binding unloading and reloading it.
template <class Function>
Function* library_function(const char* path, const char* name) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(std::string("fake PC/SC: cannot load ") + path);
    }
    auto* function = reinterpret_cast<Function*>(dlsym(handle, name));
    if (function == nullptr) {
        throw std::runtime_error(std::string("fake PC/SC: no ") + name + " in " + path);
    }
    return function;
}

inline FakePcsc& state(const char* path
#ifdef FAKE_PCSC_LIBRARY
                       = FAKE_PCSC_LIBRARY
#endif
) {
    return *library_function<decltype(fake_pcsc_state)>(path, "fake_pcsc_state")();
}

// Waits until a SCardGetStatusChange call, on any thread, has made every scripted change and
// blocks for good. False when none does within `timeout`.
inline bool wait_until_blocked(std::chrono::milliseconds timeout, const char* path
#ifdef FAKE_PCSC_LIBRARY
                                                                  = FAKE_PCSC_LIBRARY
#endif
) {
    return library_function<decltype(fake_pcsc_wait_until_blocked)>(
        path, "fake_pcsc_wait_until_blocked")(static_cast<long>(timeout.count()));
}

}  // namespace fakepcsc
