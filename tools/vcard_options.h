#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/virtual_dongle.h"

namespace qel::vcard {

inline constexpr std::uint16_t kDefaultPort = 35963;

struct Options {
    CardConfig card;
    std::uint16_t port = kDefaultPort;
    std::optional<std::uint64_t> pull_after;  // APDUs answered before the card is pulled
    // APDUs answered before the card stops answering (it stays in the reader, mute)
    std::optional<std::uint64_t> silent_after;
    // With silent_after: each later APDU is answered after this pause instead of never
    std::optional<std::uint32_t> silent_for_ms;
    std::optional<long> parent_pid;  // leave when this process is gone
    bool verbose = false;
    bool help = false;
};

// Strict parsing: every malformed value is an error whose text names the option. Returns the
// error text, or nothing on success.
std::optional<std::string> parse_options(const std::vector<std::string>& args, Options& options);

const char* usage_text();

}  // namespace qel::vcard
