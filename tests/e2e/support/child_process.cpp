#include "tests/e2e/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qel::e2e {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(10);

int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// posix_spawn_file_actions_t with its destroy bound to scope.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&m_actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

}  // namespace

std::chrono::milliseconds Deadline::left() const {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_end - std::chrono::steady_clock::now());
    return rest.count() > 0 ? rest : std::chrono::milliseconds(0);
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           int stdout_fd, int stdin_fd) {
    char log_name[] = "/tmp/qel-e2e-child.XXXXXX";
    m_log_fd = ::mkostemp(log_name, O_CLOEXEC);
    if (m_log_fd < 0)
        throw std::runtime_error(std::string("cannot create a log file: ") + std::strerror(errno));
    ::unlink(log_name);  // the descriptors keep it alive; nothing is left behind

    FileActions actions;
    if (stdin_fd >= 0) {
        posix_spawn_file_actions_adddup2(actions.get(), stdin_fd, 0);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    }
    if (stdout_fd == kClosed) {
        posix_spawn_file_actions_addclose(actions.get(), 1);
    } else {
        posix_spawn_file_actions_adddup2(actions.get(), stdout_fd >= 0 ? stdout_fd : m_log_fd, 1);
    }
    posix_spawn_file_actions_adddup2(actions.get(), m_log_fd, 2);

    std::vector<std::string> argv_text{path};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const int rc =
        ::posix_spawn(&m_pid, path.c_str(), actions.get(), nullptr, argv.data(), environ);
    if (rc != 0) {
        ::close(m_log_fd);
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() {
    stop();
    ::close(m_log_fd);
}

bool ChildProcess::running() {
    if (m_status)
        return false;
    int status = 0;
    const pid_t rc = ::waitpid(m_pid, &status, WNOHANG);
    if (rc == m_pid) {
        m_status = decode_status(status);
        return false;
    }
    return rc == 0;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    const Deadline deadline(timeout);
    while (running()) {
        if (deadline.passed())
            return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
    return m_status;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (running()) {
        ::kill(m_pid, SIGTERM);
        if (!wait_exit(grace)) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_status = decode_status(status);
        }
    }
    return m_status.value_or(-1);
}

std::string ChildProcess::log() const {
    std::string text;
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(m_log_fd, buffer, sizeof buffer, offset);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
    return text;
}

}  // namespace qel::e2e
