#include "app/qel_sc_base.h"

#include <algorithm>

#include "util/Exception.h"
#include "util/KUDynArrays.h"

namespace qel::app {

namespace {

t_qel_sc_base::test_behaviour& behaviour() {
    static t_qel_sc_base::test_behaviour b;
    return b;
}

// Objects alive right now: a call on any other address is a call after destruction.
std::vector<const t_qel_sc_base*>& live_objects() {
    static std::vector<const t_qel_sc_base*> live;
    return live;
}

bool is_live(const t_qel_sc_base* object) {
    const auto& live = live_objects();
    return std::find(live.begin(), live.end(), object) != live.end();
}

}  // namespace

t_qel_sc_base::test_behaviour& t_qel_sc_base::test_hook() {
    return behaviour();
}

void t_qel_sc_base::reset_test_hook() {
    behaviour() = test_behaviour{};
}

t_qel_sc_base::t_qel_sc_base() : applet_aid("qel21\x01\x01\x01", 8) {
    auto& b = behaviour();
    if (b.on_construct) {
        b.on_construct();
    }
    if (!b.constructs) {
        throw qel::util::Exception("Card-Reader is not found");
    }
    ++b.constructed;
    live_objects().push_back(this);
    if (b.on_call) {
        b.on_call("constructor");
    }
}

t_qel_sc_base::~t_qel_sc_base() {
    auto& live = live_objects();
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
    ++behaviour().destroyed;
}

void t_qel_sc_base::enter(const std::string& operation) {
    auto& b = behaviour();
    if (!is_live(this)) {
        ++b.calls_on_dead_objects;
    }
    b.calls.push_back(operation);
    if (b.fail_in == operation) {
        throw qel::util::Exception(b.failure_text);
    }
}

void t_qel_sc_base::leave(const std::string& operation) {
    if (behaviour().on_call) {
        behaviour().on_call(operation);
    }
}

bool t_qel_sc_base::connect_by_aid(const qel::util::ByteString& aid) {
    enter("connect_by_aid");
    behaviour().aids.push_back(aid);
    leave("connect_by_aid");
    return behaviour().connects;
}

std::string t_qel_sc_base::get_last_error() const {
    if (!is_live(this)) {
        ++behaviour().calls_on_dead_objects;
    }
    return behaviour().last_error;
}

void t_qel_sc_base::reset_params() {
    enter("reset_params");
    leave("reset_params");
}

std::string t_qel_sc_base::read_serial() {
    enter("read_serial");
    leave("read_serial");
    // The serial number is the first 4 answer bytes.
    const qel::util::ByteString first = behaviour().serial_answer.substr(0, 4);
    return qel::util::TKUDynArray::ByteStreamToHexString(
        qel::util::ByteArray(first.begin(), first.end()), "");
}

std::uint16_t t_qel_sc_base::read_firmware_version() {
    enter("read_firmware_version");
    leave("read_firmware_version");
    return behaviour().firmware_version;
}

std::uint16_t t_qel_sc_base::read_error_code() {
    enter("read_error_code");
    leave("read_error_code");
    return behaviour().error_code;
}

}  // namespace qel::app
