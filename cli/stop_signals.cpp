#include "cli/stop_signals.h"

#include <errno.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "util/Exception.h"

namespace qel::app {

namespace {

std::string system_error_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

StopSignals::StopSignals(std::function<void(int signal)> on_signal, const std::vector<int>& taken)
    : m_on_signal(std::move(on_signal)) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : taken)
        sigaddset(&set, signal);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, &m_previous_mask); error != 0)
        throw util::Exception(system_error_text("Cannot block the stop signals", error));
    try {
        m_signals = util::OwnedFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
        if (!m_signals.holds())
            throw util::Exception(system_error_text("Cannot read the stop signals", errno));
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        ::pthread_sigmask(SIG_SETMASK, &m_previous_mask, nullptr);
        throw;
    }
}

StopSignals::~StopSignals() {
    m_end.raise();
    m_thread.join();
    ::pthread_sigmask(SIG_SETMASK, &m_previous_mask, nullptr);
}

void StopSignals::run() {
    for (;;) {
        std::array<pollfd, 2> fds{};
        fds[0].fd = m_end.get();
        fds[1].fd = m_signals.get();
        if (util::poll_input(fds.data(), fds.size(), -1) < 0 || (fds[0].revents & POLLIN) != 0)
            return;
        signalfd_siginfo info{};
        while (::read(m_signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const int signal = static_cast<int>(info.ssi_signo);
            m_received.store(signal, std::memory_order_release);
            m_on_signal(signal);
        }
    }
}

}  // namespace qel::app
