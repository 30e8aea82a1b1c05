#pragma once

#include <utility>

namespace qel::util {

// A file descriptor with one owner, closed once by its destructor. A moved-from owner holds
// none and closes nothing.
class OwnedFd {
public:
    OwnedFd() noexcept = default;
    explicit OwnedFd(int fd) noexcept : m_fd(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    ~OwnedFd() { reset(); }

    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;

    bool holds() const noexcept { return m_fd >= 0; }
    int get() const noexcept { return m_fd; }
    void reset() noexcept;
    // Gives the descriptor up without closing it: it stays open for the process's life.
    int release() noexcept { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

}  // namespace qel::util
