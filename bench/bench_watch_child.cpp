#include "bench/bench_watch_child.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qel::bench {

TappedChild::TappedChild(const std::string& path, const std::vector<std::string>& args) {
    int pipe_ends[2];
    // Close-on-exec: a card program started later must not hold the write end open, or the
    // output would not end with the program.
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    m_output = pipe_ends[0];
    try {
        m_process = std::make_unique<e2e::ChildProcess>(path, args, pipe_ends[1]);
    } catch (...) {
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        throw;
    }
    ::close(pipe_ends[1]);
    m_reader = std::thread([this] { read_output(); });
    // A thread starts at the ordinary priority under SCHED_RESET_ON_FORK: the times it takes
    // are to be as prompt as its creator's.
    int policy = 0;
    sched_param priority{};
    if (pthread_getschedparam(pthread_self(), &policy, &priority) == 0 &&
        (policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO)
        pthread_setschedparam(m_reader.native_handle(), SCHED_FIFO, &priority);
}

TappedChild::~TappedChild() {
    m_process->stop();
    m_reader.join();
    ::close(m_output);
}

void TappedChild::read_output() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_output, buffer, sizeof buffer);
        const Clock::time_point at = Clock::now();
        if (n < 0 && errno == EINTR)
            continue;
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (n <= 0) {
            m_end = at;
            m_arrived.notify_all();
            return;
        }
        m_partial.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = m_partial.find('\n')) != std::string::npos;) {
            m_lines.push_back({m_partial.substr(0, end), at});
            m_partial.erase(0, end + 1);
        }
        m_arrived.notify_all();
    }
}

std::optional<std::vector<TimedLine>> TappedChild::take_through(const std::string& last,
                                                                std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::deque<TimedLine>::iterator found;
    const auto arrived = [&] {
        found = m_lines.begin();
        while (found != m_lines.end() && found->text != last)
            ++found;
        return found != m_lines.end();
    };
    if (!m_arrived.wait_for(lock, timeout, arrived))
        return std::nullopt;
    std::vector<TimedLine> taken(m_lines.begin(), found + 1);
    m_lines.erase(m_lines.begin(), found + 1);
    return taken;
}

std::optional<Clock::time_point> TappedChild::wait_for_end(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_arrived.wait_for(lock, timeout, [this] { return m_end.has_value(); }))
        return std::nullopt;
    return m_end;
}

std::string TappedChild::untaken() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const TimedLine& line : m_lines)
        text += line.text + "\n";
    return text + m_partial;
}

}  // namespace qel::bench
