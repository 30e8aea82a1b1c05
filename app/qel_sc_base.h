#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace qel::app {

// The dongle object the window creates for each "Get Info" run.
//
// STAND-IN: the dongle protocol is not built yet. Until it lands, construction fails as on a
// machine without a card reader, which is what every press shows. The test hook below belongs
// to the stand-in alone and goes away with it; the window uses only the interface above it.
class t_qel_sc_base {
public:
    // Fails with "Card-Reader is not found" when there is no usable reader.
    t_qel_sc_base();
    ~t_qel_sc_base();

    t_qel_sc_base(const t_qel_sc_base&) = delete;
    t_qel_sc_base& operator=(const t_qel_sc_base&) = delete;

    bool connect_by_aid(const qel::util::ByteString& aid);
    std::string get_last_error() const;
    void reset_params();
    std::string read_serial();
    std::uint16_t read_firmware_version();
    std::uint16_t read_error_code();

    qel::util::ByteString applet_aid;

    // ---- test hook of the stand-in ------------------------------------------------------
    struct test_behaviour {
        bool constructs = false;             // false: the constructor fails as without reader
        std::function<void()> on_construct;  // runs first in the constructor; may throw
        bool connects = false;
        std::string last_error = "Card with specified AID is not found";
        qel::util::ByteString serial_answer;  // answer bytes of the serial-number command
        std::uint16_t firmware_version = 0;
        std::uint16_t error_code = 0;
        std::string fail_in;  // name of the operation that throws, if any
        std::string failure_text;
        std::function<void(const std::string& operation)> on_call;  // after each operation

        // What happened, for the tests to read.
        std::vector<std::string> calls;           // operations in order, "connect_by_aid" etc.
        std::vector<qel::util::ByteString> aids;  // arguments of connect_by_aid
        int constructed = 0;
        int destroyed = 0;
        int calls_on_dead_objects = 0;  // operations called on an object already destroyed
    };
    static test_behaviour& test_hook();
    static void reset_test_hook();

private:
    void enter(const std::string& operation);
    void leave(const std::string& operation);
};

}  // namespace qel::app
