#include "tests/soak/soak_probe.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace qel::soak {

int open_descriptor_count() {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), &closedir);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    // The listing's own descriptor is among the entries.
    return count - 1;
}

long resident_kib() {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> status(
        std::fopen("/proc/self/status", "r"), &std::fclose);
    if (!status)
        return -1;
    char line[256];
    while (std::fgets(line, sizeof line, status.get()) != nullptr) {
        long kib = 0;
        if (std::strncmp(line, "VmRSS:", 6) == 0 && std::sscanf(line + 6, "%ld", &kib) == 1)
            return kib;
    }
    return -1;
}

}  // namespace qel::soak
