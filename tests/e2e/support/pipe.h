#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <stdexcept>

namespace qel::e2e {

// A pipe whose two ends close with it.
class Pipe {
public:
    Pipe() {
        if (::pipe2(m_fds.data(), O_CLOEXEC) != 0)
            throw std::runtime_error("cannot create a pipe");
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read_end() const { return m_fds[0]; }
    int write_end() const { return m_fds[1]; }
    void close_read() { close_end(0); }
    void close_write() { close_end(1); }

private:
    void close_end(int i) {
        if (m_fds[i] >= 0)
            ::close(m_fds[i]);
        m_fds[i] = -1;
    }
    std::array<int, 2> m_fds{-1, -1};
};

}  // namespace qel::e2e
