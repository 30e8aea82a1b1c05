// The fake PC/SC library: pcsc-lite's SCard* exports, played from the scripted state of
// fake_pcsc.h. Built twice: complete, and with FAKE_PCSC_PARTIAL lacking SCardGetAttrib and
// SCardCancel, for the binding's missing-export path.

#include <winscard.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tests/fakepcsc/fake_pcsc.h"

using fakepcsc::Bytes;
using fakepcsc::Call;
using fakepcsc::FakePcsc;
using fakepcsc::FakeReader;

namespace {

// Tests catch memory the code under test kept with outstanding_allocations(); whatever is still
// held when the library goes is released, so the leak checker never blames the fake.
struct State : FakePcsc {
    ~State() {
        for (void* p : allocations) {
            std::free(p);
        }
    }
};
State g_state;

// The ATR attribute: class 9 (ICC state) << 16 | tag 0x0303.
constexpr DWORD kAttrAtrString = 0x00090303;

constexpr std::string_view kPnpNotification = "\\\\?PnP?\\Notification";

// SCardGetStatusChange may block until SCardCancel comes from another thread, the one pair of
// calls made on two threads at once: both hold this lock while they touch the state, and the
// wait gives it up while it blocks.
std::mutex g_lock;
std::condition_variable g_wait_changed;
std::set<SCARDCONTEXT> g_blocked;    // contexts with a wait blocked for good
std::set<SCARDCONTEXT> g_cancelled;  // ... of which SCardCancel has ended the wait

// Counts the call and returns the code scripted for it, 0 when it is to behave normally.
LONG scripted_result(const std::string& function) {
    const int index = ++g_state.call_counts[function];
    if (auto s = g_state.scripted.find(function); s != g_state.scripted.end()) {
        if (auto i = s->second.find(index); i != s->second.end()) {
            return i->second;
        }
    }
    if (auto d = g_state.default_results.find(function); d != g_state.default_results.end()) {
        return d->second;
    }
    return SCARD_S_SUCCESS;
}

LONG record(Call& call, LONG result) {
    call.result = result;
    g_state.log.push_back(call);
    return result;
}

Call named(const char* function) {
    Call call;
    call.function = function;
    return call;
}

bool valid_context(SCARDCONTEXT context) {
    return g_state.contexts.count(context) != 0;
}

FakeReader* connected_reader(SCARDHANDLE card) {
    auto it = g_state.connections.find(card);
    return it == g_state.connections.end() ? nullptr : &g_state.readers[it->second.reader];
}

// Hands data to the caller the PC/SC way: into the caller's buffer, or, with the length
// SCARD_AUTOALLOCATE, into memory the library allocates and stores through `buffer`, to be
// given back with SCardFreeMemory; a null buffer asks for the length only.
LONG hand_out(const Bytes& data, void* buffer, LPDWORD length) {
    if (length == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    const DWORD needed = data.size();
    if (*length == SCARD_AUTOALLOCATE) {
        if (buffer == nullptr) {
            return SCARD_E_INVALID_PARAMETER;
        }
        void* memory = std::malloc(needed == 0 ? 1 : needed);
        if (memory == nullptr) {
            return SCARD_E_NO_MEMORY;
        }
        if (needed != 0) {
            std::memcpy(memory, data.data(), needed);
        }
        g_state.allocations.insert(memory);
        std::memcpy(buffer, &memory, sizeof memory);
        *length = needed;
        return SCARD_S_SUCCESS;
    }
    if (buffer == nullptr) {
        *length = needed;
        return SCARD_S_SUCCESS;
    }
    if (*length < needed) {
        *length = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (needed != 0) {
        std::memcpy(buffer, data.data(), needed);
    }
    *length = needed;
    return SCARD_S_SUCCESS;
}

Bytes text_bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes reader_list() {
    if (g_state.raw_reader_list) {
        return text_bytes(*g_state.raw_reader_list);
    }
    Bytes list;
    for (const auto& r : g_state.readers) {
        list.insert(list.end(), r.name.begin(), r.name.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

std::vector<std::string> reader_names() {
    std::vector<std::string> names;
    for (const auto& r : g_state.readers) {
        names.push_back(r.name);
    }
    return names;
}

// Fills in each reader's event state; true when one differs from the caller's current state.
bool report_states(SCARD_READERSTATE* states, DWORD count,
                   const std::vector<std::string>& names_at_start) {
    bool changed = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& state = states[i];
        if (state.szReader != nullptr && state.szReader == kPnpNotification) {
            // The upper 16 bits count the readers.
            if (reader_names() != names_at_start) {
                state.dwEventState =
                    static_cast<DWORD>(g_state.readers.size()) << 16 | SCARD_STATE_CHANGED;
                changed = true;
            } else {
                state.dwEventState =
                    state.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            }
            continue;
        }
        const FakeReader* found = nullptr;
        for (const auto& r : g_state.readers) {
            if (state.szReader != nullptr && r.name == state.szReader) {
                found = &r;
            }
        }
        DWORD event = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;
        state.cbAtr = 0;
        if (found != nullptr) {
            event = found->card_present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
            event |= found->card_events << 16;
            if (found->card_present && found->card.atr.size() <= MAX_ATR_SIZE) {
                std::memcpy(state.rgbAtr, found->card.atr.data(), found->card.atr.size());
                state.cbAtr = found->card.atr.size();
            }
        }
        if ((state.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != event) {
            event |= SCARD_STATE_CHANGED;
            changed = true;
        }
        state.dwEventState = event;
    }
    return changed;
}

bool is_get_response(const Bytes& command) {
    return command.size() == 5 && command[0] == 0x00 && command[1] == 0xC0 && command[2] == 0x00 &&
           command[3] == 0x00;
}

Bytes card_answer(fakepcsc::FakeCard& card, const Bytes& command) {
    if (card.pending_get_response && is_get_response(command)) {
        Bytes answer = std::move(*card.pending_get_response);
        card.pending_get_response.reset();
        return answer;
    }
    // Any other command drops what a T=0 card was holding for GET RESPONSE.
    card.pending_get_response.reset();
    if (!card.queued.empty()) {
        Bytes answer = std::move(card.queued.front());
        card.queued.pop_front();
        return answer;
    }
    if (card.responder) {
        if (auto answer = card.responder(command)) {
            return *answer;
        }
    }
    for (const auto& rule : card.rules) {
        if (!rule.matches(command)) {
            continue;
        }
        if (rule.via_get_response && rule.answer.size() > 2) {
            card.pending_get_response = rule.answer;
            return Bytes{0x61, static_cast<std::uint8_t>((rule.answer.size() - 2) & 0xFF)};
        }
        return rule.answer;
    }
    return card.default_answer;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) FakePcsc* fake_pcsc_state() {
    return &g_state;
}

extern "C" __attribute__((visibility("default"))) bool fake_pcsc_wait_until_blocked(
    long timeout_ms) {
    std::unique_lock<std::mutex> lock(g_lock);
    return g_wait_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [] { return !g_blocked.empty(); });
}

LONG SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    Call call = named("SCardEstablishContext");
    call.scope = dwScope;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (phContext == nullptr) {
        return record(call, SCARD_E_INVALID_PARAMETER);
    }
    call.context = g_state.next_context++;
    g_state.contexts.insert(call.context);
    *phContext = call.context;
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    Call call = named("SCardReleaseContext");
    call.context = hContext;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call,
                  g_state.contexts.erase(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    Call call = named("SCardIsValidContext");
    call.context = hContext;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call, valid_context(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    Call call = named("SCardListReaders");
    call.context = hContext;
    call.buffer_size = pcchReaders ? *pcchReaders : 0;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (!valid_context(hContext)) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    return record(call, hand_out(reader_list(), mszReaders, pcchReaders));
}

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups) {
    Call call = named("SCardListReaderGroups");
    call.context = hContext;
    call.buffer_size = pcchGroups ? *pcchGroups : 0;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (!valid_context(hContext)) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    static const std::string groups("SCard$DefaultReaders\0\0", 22);
    return record(call, hand_out(text_bytes(groups), mszGroups, pcchGroups));
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
    Call call = named("SCardFreeMemory");
    call.context = hContext;
    call.memory = pvMem;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (pvMem == nullptr) {
        return record(call, SCARD_S_SUCCESS);
    }
    // Only memory this library handed out, and only once.
    auto it = g_state.allocations.find(const_cast<void*>(pvMem));
    if (it == g_state.allocations.end()) {
        return record(call, SCARD_E_INVALID_PARAMETER);
    }
    std::free(*it);
    g_state.allocations.erase(it);
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    Call call = named("SCardConnect");
    call.context = hContext;
    call.reader = szReader ? szReader : "";
    call.share_mode = dwShareMode;
    call.preferred_protocols = dwPreferredProtocols;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (!valid_context(hContext)) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (szReader == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr) {
        return record(call, SCARD_E_INVALID_PARAMETER);
    }
    std::size_t index = 0;
    while (index < g_state.readers.size() && g_state.readers[index].name != call.reader) {
        ++index;
    }
    if (index == g_state.readers.size()) {
        return record(call, SCARD_E_UNKNOWN_READER);
    }
    const FakeReader& reader = g_state.readers[index];
    if (reader.connect_result != SCARD_S_SUCCESS) {
        return record(call, reader.connect_result);
    }
    if (!reader.card_present) {
        return record(call, SCARD_E_NO_SMARTCARD);
    }
    for (const auto& [handle, connection] : g_state.connections) {
        if (connection.reader == index && (connection.share_mode == SCARD_SHARE_EXCLUSIVE ||
                                           dwShareMode == SCARD_SHARE_EXCLUSIVE)) {
            return record(call, SCARD_E_SHARING_VIOLATION);
        }
    }
    const DWORD protocol = reader.card.protocol;
    if ((protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1) &&
        (dwPreferredProtocols & protocol) == 0) {
        return record(call, SCARD_E_PROTO_MISMATCH);
    }
    call.card = g_state.next_card++;
    g_state.connections[call.card] = fakepcsc::Connection{index, dwShareMode};
    g_state.last_connected = call.card;
    *phCard = call.card;
    *pdwActiveProtocol = protocol;
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
    Call call = named("SCardReconnect");
    call.card = hCard;
    call.share_mode = dwShareMode;
    call.preferred_protocols = dwPreferredProtocols;
    call.disposition = dwInitialization;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    FakeReader* reader = connected_reader(hCard);
    if (reader == nullptr) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (pdwActiveProtocol != nullptr) {
        *pdwActiveProtocol = reader->card.protocol;
    }
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    Call call = named("SCardDisconnect");
    call.card = hCard;
    call.disposition = dwDisposition;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call,
                  g_state.connections.erase(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    Call call = named("SCardBeginTransaction");
    call.card = hCard;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call, connected_reader(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    Call call = named("SCardEndTransaction");
    call.card = hCard;
    call.disposition = dwDisposition;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call, connected_reader(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    Call call = named("SCardStatus");
    call.card = hCard;
    call.buffer_size = pcbAtrLen ? *pcbAtrLen : 0;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    FakeReader* reader = connected_reader(hCard);
    if (reader == nullptr) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (reader->status_result != SCARD_S_SUCCESS) {
        return record(call, reader->status_result);
    }
    if (!reader->card_present) {
        return record(call, SCARD_W_REMOVED_CARD);
    }
    // Like pcsc-lite, a null length means the caller does not want that item.
    if (pcchReaderLen != nullptr) {
        Bytes name = text_bytes(reader->name);
        name.push_back(0);
        if (LONG result = hand_out(name, szReaderName, pcchReaderLen)) {
            return record(call, result);
        }
    }
    if (pcbAtrLen != nullptr) {
        if (LONG result = hand_out(reader->card.atr, pbAtr, pcbAtrLen)) {
            return record(call, result);
        }
    }
    if (pdwState != nullptr) {
        *pdwState = SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC;
    }
    if (pdwProtocol != nullptr) {
        *pdwProtocol = reader->card.protocol;
    }
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates,
                          DWORD cReaders) {
    std::unique_lock<std::mutex> lock(g_lock);
    Call call = named("SCardGetStatusChange");
    call.context = hContext;
    call.buffer_size = dwTimeout;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (!valid_context(hContext)) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (rgReaderStates == nullptr && cReaders > 0) {
        return record(call, SCARD_E_INVALID_PARAMETER);
    }
    const std::vector<std::string> names_at_start = reader_names();
    for (;;) {
        if (report_states(rgReaderStates, cReaders, names_at_start) || cReaders == 0) {
            return record(call, SCARD_S_SUCCESS);
        }
        if (!g_state.status_changes.empty()) {
            auto change = std::move(g_state.status_changes.front());
            g_state.status_changes.pop_front();
            change(g_state);
            continue;
        }
        if (dwTimeout != INFINITE) {
            return record(call, SCARD_E_TIMEOUT);
        }
        g_blocked.insert(hContext);
        g_wait_changed.notify_all();
        g_wait_changed.wait(lock, [hContext] { return g_cancelled.count(hContext) != 0; });
        g_blocked.erase(hContext);
        g_cancelled.erase(hContext);
        return record(call, SCARD_E_CANCELLED);
    }
}

LONG SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID, DWORD, LPVOID, DWORD,
                  LPDWORD lpBytesReturned) {
    Call call = named("SCardControl");
    call.card = hCard;
    call.attribute = dwControlCode;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = 0;
    }
    return record(call,
                  connected_reader(hCard) ? SCARD_E_UNSUPPORTED_FEATURE : SCARD_E_INVALID_HANDLE);
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    Call call = named("SCardTransmit");
    call.card = hCard;
    if (pioSendPci != nullptr) {
        call.has_send_pci = true;
        call.pci_protocol = pioSendPci->dwProtocol;
        call.pci_length = pioSendPci->cbPciLength;
    }
    call.has_recv_pci = pioRecvPci != nullptr;
    if (pbSendBuffer != nullptr) {
        call.command.assign(pbSendBuffer, pbSendBuffer + cbSendLength);
    }
    call.buffer_size = pcbRecvLength ? *pcbRecvLength : 0;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    FakeReader* reader = connected_reader(hCard);
    if (reader == nullptr) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (pioSendPci == nullptr || pbSendBuffer == nullptr || pbRecvBuffer == nullptr ||
        pcbRecvLength == nullptr) {
        return record(call, SCARD_E_INVALID_PARAMETER);
    }
    if (!reader->card_present) {
        return record(call, SCARD_W_REMOVED_CARD);
    }
    // pcsc-lite refuses a send record of another protocol than the card's.
    if (pioSendPci->dwProtocol != reader->card.protocol) {
        return record(call, SCARD_E_PROTO_MISMATCH);
    }
    const Bytes answer = card_answer(reader->card, call.command);
    if (answer.size() > *pcbRecvLength) {
        return record(call, SCARD_E_INSUFFICIENT_BUFFER);
    }
    if (!answer.empty()) {
        std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    }
    *pcbRecvLength = answer.size() + reader->card.overstated_answer_bytes;
    return record(call, SCARD_S_SUCCESS);
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE, DWORD) {
    Call call = named("SCardSetAttrib");
    call.card = hCard;
    call.attribute = dwAttrId;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    return record(call,
                  connected_reader(hCard) ? SCARD_E_UNSUPPORTED_FEATURE : SCARD_E_INVALID_HANDLE);
}

#ifndef FAKE_PCSC_PARTIAL

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
    Call call = named("SCardGetAttrib");
    call.card = hCard;
    call.attribute = dwAttrId;
    call.buffer_size = pcbAttrLen ? *pcbAttrLen : 0;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    FakeReader* reader = connected_reader(hCard);
    if (reader == nullptr) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (reader->get_attrib_result != SCARD_S_SUCCESS) {
        // pcsc-lite hands out its buffer before it asks the reader, and leaves it with the
        // caller when the reader then fails: the caller must free it on the failure path too.
        if (pcbAttrLen != nullptr && *pcbAttrLen == SCARD_AUTOALLOCATE && pbAttr != nullptr) {
            hand_out(Bytes(8, 0), pbAttr, pcbAttrLen);
        }
        return record(call, reader->get_attrib_result);
    }
    if (!reader->card_present) {
        return record(call, SCARD_W_REMOVED_CARD);
    }
    if (dwAttrId != kAttrAtrString) {
        return record(call, SCARD_E_UNSUPPORTED_FEATURE);
    }
    return record(call, hand_out(reader->card.atr, pbAttr, pcbAttrLen));
}

LONG SCardCancel(SCARDCONTEXT hContext) {
    const std::lock_guard<std::mutex> lock(g_lock);
    Call call = named("SCardCancel");
    call.context = hContext;
    if (LONG code = scripted_result(call.function)) {
        return record(call, code);
    }
    if (!valid_context(hContext)) {
        return record(call, SCARD_E_INVALID_HANDLE);
    }
    if (g_blocked.count(hContext) != 0) {
        g_cancelled.insert(hContext);
        g_wait_changed.notify_all();
    }
    return record(call, SCARD_S_SUCCESS);
}

#endif
