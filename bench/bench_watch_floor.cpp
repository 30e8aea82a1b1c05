// bench_watch_floor: the floor the command-line reader is measured against, as a process of its
// own so that it pays what qel_sn pays for being one (start, pipe, exit).
//
//   bench_watch_floor                        one readout of the dongle in the first reader
//                                            that holds it
//   bench_watch_floor --watch                one readout per card put in, until a signal ends it
//   bench_watch_floor --watch --own-context  the same, each readout with a context and a
//                                            reader list of its own, as our readout has them
//
// The readout is the workflow benchmark's floor: the PC/SC calls our readout makes, straight on
// pcsc-lite. The watch is the bare event loop on SCardGetStatusChange, with the pseudo-reader
// that tells of readers coming and going, and nothing for the service going away; it reads the
// card on the context it waits with, in the reader that changed, unless told otherwise. It prints
// the window's lines, all at once after the readout, as a program that buffers its output would.
#include <winscard.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_workflow_floor.h"
#include "bench/bench_workflow_pcsc.h"

namespace {

using qel::bench::DongleReadout;
using qel::bench::FloorError;
using qel::bench::PcscFunctions;

constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";

// The floor's readout handed the watch's context and the one reader that changed, in place of a
// context and a reader list of its own. Plain functions for the floor's table, hence the globals.
SCARDCONTEXT g_watch_context = 0;
std::string g_changed_reader;  // as a list of one: the name and two NULs

LONG kept_context(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    *context = g_watch_context;
    return SCARD_S_SUCCESS;
}

LONG context_kept(SCARDCONTEXT) {
    return SCARD_S_SUCCESS;
}

// The floor asks with SCARD_AUTOALLOCATE and gives the list back through SCardFreeMemory.
LONG changed_reader(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length) {
    *reinterpret_cast<LPSTR*>(readers) = g_changed_reader.data();
    *length = static_cast<DWORD>(g_changed_reader.size());
    return SCARD_S_SUCCESS;
}

LONG free_unless_changed_reader(SCARDCONTEXT context, LPCVOID memory) {
    if (memory == g_changed_reader.data())
        return SCARD_S_SUCCESS;
    return SCardFreeMemory(context, memory);
}

PcscFunctions on_watch_context(PcscFunctions pcsc) {
    pcsc.establish_context = &kept_context;
    pcsc.release_context = &context_kept;
    pcsc.list_readers = &changed_reader;
    pcsc.free_memory = &free_unless_changed_reader;
    return pcsc;
}

bool print_readout(const PcscFunctions& pcsc) {
    std::printf("Searching...\n");
    bool read = false;
    try {
        const DongleReadout readout = qel::bench::floor_readout(pcsc);
        std::printf("Serial No (S/N): %s\nFirmware version: %04X\n", readout.serial.c_str(),
                    readout.firmware_version);
        // The window shows the low byte only, and no line for a zero there.
        if ((readout.error_code & 0xFF) != 0)
            std::printf("Error Code: 0x%02X\n", readout.error_code & 0xFF);
        read = true;
    } catch (const FloorError& e) {
        std::printf("Dongle can't be found: %s\n", e.what());
    }
    std::printf("Finished\n");
    std::fflush(stdout);
    return read;
}

std::vector<std::string> list_readers(SCARDCONTEXT context) {
    DWORD length = 0;
    LONG rv = SCardListReaders(context, nullptr, nullptr, &length);
    std::vector<char> names(length);
    if (rv == SCARD_S_SUCCESS)
        rv = SCardListReaders(context, nullptr, names.data(), &length);
    if (rv != SCARD_S_SUCCESS) {
        if (rv != SCARD_E_NO_READERS_AVAILABLE)
            std::fprintf(stderr, "bench_watch_floor: SCardListReaders failed: 0x%08lX\n",
                         static_cast<unsigned long>(rv));
        return {};
    }
    std::vector<std::string> readers;
    for (const char* name = names.data(); name < names.data() + length && *name != '\0';
         name += std::strlen(name) + 1)
        readers.emplace_back(name);
    return readers;
}

struct Watched {
    std::string name;
    DWORD state = SCARD_STATE_UNAWARE;
    bool present = false;
};

int watch(const PcscFunctions& linked, bool own_context) {
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &g_watch_context);
    if (rv != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "bench_watch_floor: SCardEstablishContext failed: 0x%08lX\n",
                     static_cast<unsigned long>(rv));
        return 1;
    }
    const PcscFunctions pcsc = own_context ? linked : on_watch_context(linked);
    std::vector<Watched> readers;
    for (const std::string& name : list_readers(g_watch_context))
        readers.push_back({name});
    DWORD pnp_state = SCARD_STATE_UNAWARE;
    bool pnp_supported = true;
    std::vector<SCARD_READERSTATE> states;
    for (;;) {
        states.assign(readers.size() + (pnp_supported ? 1 : 0), SCARD_READERSTATE{});
        for (std::size_t i = 0; i < readers.size(); ++i) {
            states[i].szReader = readers[i].name.c_str();
            states[i].dwCurrentState = readers[i].state;
        }
        if (pnp_supported) {
            states.back().szReader = kPnpNotification;
            states.back().dwCurrentState = pnp_state;
        }
        rv = SCardGetStatusChange(g_watch_context, INFINITE, states.data(),
                                  static_cast<DWORD>(states.size()));
        if (rv != SCARD_S_SUCCESS) {
            std::fprintf(stderr, "bench_watch_floor: SCardGetStatusChange failed: 0x%08lX\n",
                         static_cast<unsigned long>(rv));
            SCardReleaseContext(g_watch_context);
            return 1;
        }
        // A card already there at the start counts as put in then, as qel_sn --watch has it.
        for (std::size_t i = 0; i < readers.size(); ++i) {
            const DWORD event = states[i].dwEventState;
            readers[i].state = event & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            const bool present =
                (event & SCARD_STATE_PRESENT) != 0 && (event & SCARD_STATE_MUTE) == 0;
            if (present && !readers[i].present) {
                g_changed_reader = readers[i].name + '\0' + '\0';
                print_readout(pcsc);
            }
            readers[i].present = present;
        }
        if (!pnp_supported)
            continue;
        const DWORD pnp_event = states.back().dwEventState;
        // A service without the pseudo-reader calls it unknown at once, every time.
        if ((pnp_event & SCARD_STATE_UNKNOWN) != 0)
            pnp_supported = false;
        if ((pnp_event & SCARD_STATE_CHANGED) == 0 || !pnp_supported)
            continue;
        pnp_state = pnp_event & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        std::vector<Watched> listed;
        for (const std::string& name : list_readers(g_watch_context)) {
            Watched reader{name};
            for (const Watched& known : readers) {
                if (known.name == name)
                    reader = known;
            }
            listed.push_back(reader);
        }
        readers = std::move(listed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool watching = !args.empty() && args[0] == "--watch";
    const bool own_context = watching && args.size() == 2 && args[1] == "--own-context";
    if (args.size() > (own_context ? 2u : watching ? 1u : 0u)) {
        std::fprintf(stderr, "usage: %s [--watch [--own-context]]\n", argv[0]);
        return 2;
    }
    const PcscFunctions pcsc = qel::bench::linked_pcsc();
    if (watching)
        return watch(pcsc, own_context);
    return print_readout(pcsc) ? 0 : 1;
}
