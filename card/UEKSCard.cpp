#include "UEKSCard.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "util/Exception.h"
#include "util/Hex.h"

namespace qel::card {

t_ekscard::t_ekscard(bool quiet, SCARDCONTEXT context) : quiet(quiet) {
    try {
        api = context != 0 ? TKSCardAPI::on_context(context) : std::make_unique<TKSCardAPI>(0);
    } catch (const std::exception& e) {
        api.reset();
        set_last_error(e.what());
        // Plain, with the same text; the failure underneath stays reachable as the nested
        // exception, one level down even when the card API already wrapped it.
        try {
            std::rethrow_if_nested(e);
        } catch (...) {
            std::throw_with_nested(util::Exception(e.what()));
        }
        std::throw_with_nested(util::Exception(e.what()));
    }
    if (!api->Readers)
        throw util::Exception(last_error);
}

t_ekscard::~t_ekscard() {
    disconnect();
    api.reset();
}

void t_ekscard::set_last_error(const std::string& text) {
    last_error = text;
    if (!quiet)
        print_line(text);
}

const std::vector<ReaderCause>& t_ekscard::causes() const {
    static const std::vector<ReaderCause> none;
    return api ? api->causes() : none;
}

void t_ekscard::disconnect() {
    card.reset();
}

bool t_ekscard::connect_first(const std::string& reader) {
    if (!api)
        return false;
    disconnect();
    last_error.clear();
    try {
        card = api->FirstCard(share_mode, reader);
    } catch (const std::exception& e) {
        set_last_error(e.what());
        disconnect();
    }
    return is_connected();
}

bool t_ekscard::connect_by_aid(const util::ByteString& aid, const std::string& reader) {
    if (aid.empty())
        return connect_first(reader);
    if (!api)
        return false;
    disconnect();
    last_error.clear();
    try {
        card = api->FindCardByAID(util::byte_span(aid), share_mode, reader);
    } catch (const std::exception& e) {
        set_last_error(e.what());
        disconnect();
    }
    return is_connected();
}

void t_ekscard::send_command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                             std::uint8_t answer_length, util::ByteString data,
                             util::ByteString& answer) {
    answer.clear();
    start_timer();
    if (!is_connected())
        return;
    if (data.empty())
        data = util::ByteString(1, '\xFF');
    m_response.clear();
    card->SendAPDU(cla, ins, p1, p2, m_response, 255, data);
    answer.assign(m_response.begin(),
                  m_response.begin() + std::min<std::size_t>(m_response.size(), answer_length));
    stop_timer();
}

void t_ekscard::start_timer() {
    start_ticks = tick_count_ms();
}

void t_ekscard::stop_timer() {
    last_command_ms = tick_count_ms() - start_ticks;
}

void t_ekscard::print_line(const std::string& text) {
    // Standard output may be closed in a windowed program; a failed write is of no consequence.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string bytes_to_hex(const util::ByteString& data, unsigned count) {
    const auto bytes = util::byte_span(data);
    return util::to_hex(count == 0 ? bytes
                                   : bytes.first(std::min<std::size_t>(count, bytes.size())));
}

std::uint64_t bytes_to_uint64(const util::ByteString& data) {
    if (data.size() > 8)
        return 0;
    std::uint64_t value = 0;
    for (char c : data)
        value = value << 8 | static_cast<std::uint8_t>(c);
    return value;
}

std::uint32_t tick_count_ms() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace qel::card
