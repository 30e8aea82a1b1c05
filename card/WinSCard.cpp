#include "card/WinSCard.h"

#include <dlfcn.h>

#include <memory>

namespace qel::card {

#define QEL_WINSCARD_DEFINE(name, export_name, waits_on, signature, exported) \
    WinSCardEntry<signature, Waits::waits_on> name{#name, export_name, Exported::exported};
QEL_WINSCARD_ENTRIES(QEL_WINSCARD_DEFINE)
#undef QEL_WINSCARD_DEFINE

namespace {

struct LibraryCloser {
    void operator()(void* handle) const noexcept {
        // Nothing useful can be done if the loader refuses to unload; the handle is gone anyway.
        dlclose(handle);
    }
};

// The one owner of the loaded library.
std::unique_ptr<void, LibraryCloser>& library() {
    static std::unique_ptr<void, LibraryCloser> handle;
    return handle;
}

const std::array<WinSCardEntryBase*, kWinSCardEntryCount>& mutable_entries() {
#define QEL_WINSCARD_ADDRESS(name, export_name, waits_on, signature, exported) &name,
    static const std::array<WinSCardEntryBase*, kWinSCardEntryCount> entries{
        QEL_WINSCARD_ENTRIES(QEL_WINSCARD_ADDRESS)};
#undef QEL_WINSCARD_ADDRESS
    return entries;
}

}  // namespace

const std::array<const WinSCardEntryBase*, kWinSCardEntryCount>& winscard_entries() {
    static const std::array<const WinSCardEntryBase*, kWinSCardEntryCount> entries = [] {
        std::array<const WinSCardEntryBase*, kWinSCardEntryCount> all{};
        for (std::size_t i = 0; i < kWinSCardEntryCount; ++i) {
            all[i] = mutable_entries()[i];
        }
        return all;
    }();
    return entries;
}

bool LoadWinSCard(const char* path) {
    auto& handle = library();
    if (!handle) {
        for (auto* entry : mutable_entries()) {
            entry->m_raw = nullptr;
        }
        // A null path would hand back the running program itself.
        if (path == nullptr) {
            return false;
        }
        // RTLD_LOCAL: the library's symbols must not interpose on anybody else's.
        handle.reset(dlopen(path, RTLD_NOW | RTLD_LOCAL));
        if (!handle) {
            return false;
        }
    }
    for (auto* entry : mutable_entries()) {
        entry->m_raw = reinterpret_cast<WinSCardEntryBase::RawFunction>(
            dlsym(handle.get(), entry->export_name()));
    }
    return true;
}

void UnloadWinSCard() {
    auto& handle = library();
    if (!handle) {
        return;
    }
    for (auto* entry : mutable_entries()) {
        entry->m_raw = nullptr;
    }
    handle.reset();
}

}  // namespace qel::card
