// qel_vcard: a virtual QEL dongle for the vpcd reader driver of pcscd. It connects to vpcd's
// port, answers its control messages and command APDUs, and leaves when vpcd closes the
// connection or on SIGTERM. Closing the socket is how a card is pulled from the reader.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/vcard_options.h"
#include "tools/virtual_dongle.h"
#include "util/KUDynArrays.h"

namespace qel::vcard {
namespace {

constexpr std::uint8_t kPowerOff = 0;
constexpr std::uint8_t kPowerOn = 1;
constexpr std::uint8_t kReset = 2;
constexpr std::uint8_t kGetAtr = 4;

std::string hex(const ByteArray& bytes) {
    return qel::util::TKUDynArray::ByteStreamToHexString(bytes, " ");
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);  // nothing useful to do about a failed close on the way out
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

enum class ReadResult { Ok, Closed, Stopped, Woken, Failed };

// The signal waiting on the signal descriptor; 0 when none could be read.
int take_signal(int signals) {
    signalfd_siginfo info{};
    if (::read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

class VpcdLink {
public:
    VpcdLink(int socket, int signals) : m_socket(socket), m_signals(signals) {}

    // One message: two length bytes, big-endian, then the payload. SIGUSR1 between messages
    // gives Woken.
    ReadResult receive(ByteArray& message) {
        if (m_woken) {
            m_woken = false;
            return ReadResult::Woken;
        }
        std::uint8_t header[2];
        if (ReadResult r = read_exact(header, sizeof header); r != ReadResult::Ok)
            return r;
        message.resize(static_cast<std::size_t>(header[0]) << 8 | header[1]);
        return read_exact(message.data(), message.size());
    }

    int last_error() const { return m_error; }

    bool send(const ByteArray& payload) {
        // One write for length and payload, so vpcd gets the message in one segment.
        ByteArray frame{static_cast<std::uint8_t>(payload.size() >> 8),
                        static_cast<std::uint8_t>(payload.size() & 0xFF)};
        frame.insert(frame.end(), payload.begin(), payload.end());
        std::size_t sent = 0;
        while (sent < frame.size()) {
            const ssize_t n =
                ::send(m_socket, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    ReadResult read_exact(std::uint8_t* buffer, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_signals, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                m_error = errno;
                return ReadResult::Failed;
            }
            if (fds[1].revents & POLLIN) {
                if (take_signal(m_signals) != SIGUSR1)
                    return ReadResult::Stopped;
                // A wake-up in the middle of a message waits for the message's end.
                if (got == 0 && size == 2)
                    return ReadResult::Woken;
                m_woken = true;
                continue;
            }
            // vpcd writes length and payload separately; without a quick ACK for each part the
            // kernel's delayed-ACK timer would stall every message by some 40 ms. The kernel
            // drops back to delayed ACKs on its own, so this is re-armed before every read.
            const int one = 1;
            ::setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            const ssize_t n = ::recv(m_socket, buffer + got, size - got, 0);
            if (n == 0)
                return ReadResult::Closed;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                m_error = errno;
                return errno == ECONNRESET ? ReadResult::Closed : ReadResult::Failed;
            }
            got += static_cast<std::size_t>(n);
        }
        return ReadResult::Ok;
    }

    int m_socket;
    int m_signals;
    int m_error = 0;
    bool m_woken = false;
};

// Waits `ms` milliseconds, or less when SIGUSR1 comes; false when a stop signal came first.
bool pause(int signals, std::uint32_t ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd fd{signals, POLLIN, 0};
        const int n = ::poll(&fd, 1, static_cast<int>(left.count()));
        if (n > 0)
            return take_signal(signals) == SIGUSR1;
        if (n < 0 && errno != EINTR)
            return true;
    }
}

int connect_to_vpcd(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int run(const Options& options) {
    // SIGTERM and SIGINT arrive through a descriptor, so a stop request can never slip in
    // between a check and a blocking read. SIGHUP: a harness's parent went away.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    // Not a stop: a silent card answers what it left unanswered and speaks again.
    sigaddset(&stop_signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const FileDescriptor signals(::signalfd(-1, &stop_signals, SFD_CLOEXEC));
    if (signals.get() < 0) {
        std::perror("qel_vcard: signalfd");
        return 1;
    }
    if (options.parent_pid) {
        // Harnesses that crash must not leave a card sitting in the reader for the next test.
        ::prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (::getppid() != *options.parent_pid) {
            std::fprintf(stderr, "qel_vcard: parent %ld has already ended\n", *options.parent_pid);
            return 0;
        }
    }

    const FileDescriptor socket(connect_to_vpcd(options.port));
    if (socket.get() < 0) {
        std::fprintf(stderr, "qel_vcard: cannot connect to vpcd on 127.0.0.1:%u: %s\n",
                     options.port, std::strerror(errno));
        return 1;
    }
    const bool verbose = options.verbose;
    if (verbose)
        std::fprintf(stderr, "qel_vcard: connected to 127.0.0.1:%u\n", options.port);

    VirtualDongle card(options.card);
    VpcdLink link(socket.get(), signals.get());
    std::uint64_t answered = 0;
    bool silent = options.silent_after.has_value();
    std::optional<ByteArray> unanswered;  // the APDU a silent card left waiting
    ByteArray message;
    for (;;) {
        switch (link.receive(message)) {
            case ReadResult::Ok:
                break;
            case ReadResult::Woken:
                if (verbose)
                    std::fprintf(stderr, "qel_vcard: woken\n");
                silent = false;
                if (!unanswered)
                    continue;
                message = std::move(*unanswered);
                unanswered.reset();
                break;
            case ReadResult::Closed:
                if (verbose)
                    std::fprintf(stderr, "qel_vcard: vpcd closed the connection\n");
                return 0;
            case ReadResult::Stopped:
                if (verbose)
                    std::fprintf(stderr, "qel_vcard: stopped\n");
                return 0;
            case ReadResult::Failed:
                std::fprintf(stderr, "qel_vcard: receive failed: %s\n",
                             std::strerror(link.last_error()));
                return 1;
        }

        ByteArray reply;
        if (message.size() == 1) {
            switch (message[0]) {
                case kPowerOff:
                case kPowerOn:
                case kReset:
                    if (verbose)
                        std::fprintf(stderr, "qel_vcard: %s\n",
                                     message[0] == kPowerOff  ? "power off"
                                     : message[0] == kPowerOn ? "power on"
                                                              : "reset");
                    card.reset();
                    continue;
                case kGetAtr:
                    reply = card.atr();
                    break;
                default:
                    if (verbose)
                        std::fprintf(stderr, "qel_vcard: unknown control %02X ignored\n",
                                     message[0]);
                    continue;
            }
        } else if (message.empty()) {
            continue;
        } else {
            if (options.pull_after && answered >= *options.pull_after) {
                if (verbose)
                    std::fprintf(stderr, "qel_vcard: > %s\nqel_vcard: card pulled\n",
                                 hex(message).c_str());
                return 0;
            }
            if (silent && answered >= *options.silent_after) {
                if (verbose)
                    std::fprintf(stderr, "qel_vcard: > %s\nqel_vcard: card silent\n",
                                 hex(message).c_str());
                if (!options.silent_for_ms) {
                    unanswered = message;
                    continue;
                }
                if (!pause(signals.get(), *options.silent_for_ms)) {
                    if (verbose)
                        std::fprintf(stderr, "qel_vcard: stopped\n");
                    return 0;
                }
            }
            reply = card.respond(message);
            ++answered;
            if (verbose)
                std::fprintf(stderr, "qel_vcard: > %s\nqel_vcard: < %s\n", hex(message).c_str(),
                             hex(reply).c_str());
        }
        if (!link.send(reply)) {
            if (verbose)
                std::fprintf(stderr, "qel_vcard: vpcd closed the connection\n");
            return 0;
        }
    }
}

}  // namespace
}  // namespace qel::vcard

int main(int argc, char** argv) {
    qel::vcard::Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const auto error = qel::vcard::parse_options(args, options)) {
        std::fprintf(stderr, "qel_vcard: %s\nTry 'qel_vcard --help' for the options.\n",
                     error->c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(qel::vcard::usage_text(), stdout);
        return 0;
    }
    return qel::vcard::run(options);
}
