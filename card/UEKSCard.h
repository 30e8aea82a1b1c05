#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "card/KSCardAPI.h"
#include "util/Bytes.h"

namespace qel::card {

// The one object through which a client works with one smart card: a PC/SC context with its
// reader list, the card of the current connection, and the text of the last connection failure
// (connection attempts report by their result and that text, never by raising).
class t_ekscard {
public:
    // Opens the context and lists the readers; fails with the card layer's text. With `quiet`
    // failure texts are only stored, otherwise they are also printed. A `context` of the
    // caller's (not 0) is used instead of a new one, and stays the caller's.
    explicit t_ekscard(bool quiet, SCARDCONTEXT context = 0);
    virtual ~t_ekscard();

    t_ekscard(const t_ekscard&) = delete;
    t_ekscard& operator=(const t_ekscard&) = delete;

    std::string get_last_error() const { return last_error; }
    void set_last_error(const std::string& text);
    bool is_connected() const { return card != nullptr; }
    void disconnect();

    // With a reader name only the card in the reader of that exact name is tried.
    bool connect_first(const std::string& reader = {});
    // An empty AID connects the first card that answers at all.
    bool connect_by_aid(const util::ByteString& aid, const std::string& reader = {});
    // What the last connect met in each reader that did not give it its card (TKSCardAPI).
    const std::vector<ReaderCause>& causes() const;

    // One command to the connected card; without a connection the answer is empty. Empty data
    // goes out as the single byte FF. The answer is cut to answer_length bytes. Card failures
    // pass to the caller.
    void send_command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                      std::uint8_t answer_length, util::ByteString data, util::ByteString& answer);

    void start_timer();
    void stop_timer();
    void print_line(const std::string& text);

    bool quiet;
    std::string last_error;
    std::uint32_t start_ticks = 0;
    std::uint32_t last_command_ms = 0;
    // Declared before `card`, so that even the implicit order of destruction takes the card
    // away before the context it was made from.
    std::unique_ptr<TKSCardAPI> api;
    std::unique_ptr<gp::TKSCardAPICardGP> card;
    std::uint8_t share_mode = SCARD_SHARE_EXCLUSIVE;

private:
    // Every command's answer passes through here, so that a readout allocates it once.
    util::ByteArray m_response;
};

// The first `count` bytes (all of them for 0) as upper-case hex without separators. A count
// past the end stops at the end.
std::string bytes_to_hex(const util::ByteString& data, unsigned count);

// The bytes as one big-endian number; more than 8 bytes give 0.
std::uint64_t bytes_to_uint64(const util::ByteString& data);

// Millisecond ticks, wrapping at 2^32.
std::uint32_t tick_count_ms();

}  // namespace qel::card
