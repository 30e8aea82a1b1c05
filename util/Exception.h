#pragma once

#include <exception>
#include <string>

namespace qel::util {

// The system's general exception: every exception class of the system derives from it, and
// what() hands back the message text exactly as it was given.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}

    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& message() const noexcept { return m_message; }

private:
    std::string m_message;
};

}  // namespace qel::util
