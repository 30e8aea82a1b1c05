#pragma once

// What every fuzz target shares: a failed check stops the run with a message (libFuzzer then
// keeps the input as a crash), only the system's own exceptions may leave the code under test,
// and hex text has one canonical form to compare round trips with.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

#include "util/Bytes.h"
#include "util/Exception.h"

namespace qel::fuzz {

// What a target wants said about the input when a check fails (the card targets: the calls and
// answers of the fake PC/SC library).
inline std::function<void()>& failure_context() {
    static std::function<void()> context;
    return context;
}

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed at %s:%d: %s\n", file, line, what.c_str());
    if (failure_context())
        failure_context()();
    std::fflush(stderr);
    __builtin_trap();
}

#define QEL_FUZZ_CHECK(condition)                              \
    do {                                                       \
        if (!(condition))                                      \
            ::qel::fuzz::fail(__FILE__, __LINE__, #condition); \
    } while (false)

#define QEL_FUZZ_CHECK_MSG(condition, message)                                                 \
    do {                                                                                       \
        if (!(condition))                                                                      \
            ::qel::fuzz::fail(__FILE__, __LINE__, std::string(#condition) + ": " + (message)); \
    } while (false)

// Runs `operation`; true when it returned, false when it raised one of the system's exceptions
// (util::Exception or a class derived from it), which `on_error` sees. Anything else leaving it
// (std::out_of_range, std::length_error, std::bad_alloc, ...) is a fault and stops the run.
template <class Operation, class OnError>
bool guarded(const char* what, Operation&& operation, OnError&& on_error) {
    try {
        operation();
        return true;
    } catch (const util::Exception& e) {
        on_error(e);
        return false;
    } catch (const std::exception& e) {
        fail(__FILE__, __LINE__,
             std::string(what) + " let a foreign exception out: " + typeid(e).name() + ": " +
                 e.what());
    } catch (...) {
        fail(__FILE__, __LINE__, std::string(what) + " let a non-std exception out");
    }
}

template <class Operation>
bool guarded(const char* what, Operation&& operation) {
    return guarded(what, std::forward<Operation>(operation), [](const util::Exception&) {});
}

inline bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The hex digits of a text, upper case, everything else dropped: what the byte conversions
// read, and what they write back.
inline std::string canonical_hex(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (is_hex_digit(c))
            digits.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return digits;
}

// Our own hex writer, independent of the one under test.
inline std::string to_hex(const util::ByteArray& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

inline util::ByteArray consume_bytes(FuzzedDataProvider& in, std::size_t max) {
    return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, max));
}

inline util::ByteString as_string(const util::ByteArray& bytes) {
    return util::ByteString(bytes.begin(), bytes.end());
}

inline util::ByteArray as_bytes(std::string_view text) {
    return util::ByteArray(text.begin(), text.end());
}

}  // namespace qel::fuzz
