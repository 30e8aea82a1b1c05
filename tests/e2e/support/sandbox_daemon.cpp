#include "tests/e2e/support/sandbox_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/pcsc_client.h"

extern char** environ;

namespace qel::e2e {

namespace {

constexpr std::chrono::milliseconds kStep{10};

std::vector<std::string> command_line(const std::filesystem::path& process) {
    std::ifstream in(process / "cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

}  // namespace

SandboxDaemon::SandboxDaemon() {
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        m_command = command_line(process.path());
        if (!m_command.empty() && std::filesystem::path(m_command[0]).filename() == "pcscd" &&
            std::any_of(m_command.begin(), m_command.end(), [](const std::string& a) {
                return a.find("qel-pcsc-sandbox") != std::string::npos;
            })) {
            m_pid = std::stoi(process.path().filename().string());
            return;
        }
    }
    throw std::runtime_error("no pcscd of the sandbox is running");
}

void SandboxDaemon::stop() {
    ::kill(m_pid, SIGTERM);
    // Not our child: it is gone once its process entry is, or a zombie.
    const Deadline deadline(kDefaultTimeout);
    for (std::string state; !deadline.passed(); std::this_thread::sleep_for(kStep)) {
        std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
        std::string field;
        if (!(stat >> field >> field >> state) || state == "Z")
            return;
    }
    throw std::runtime_error("pcscd does not end");
}

void SandboxDaemon::freeze() {
    if (::kill(m_pid, SIGSTOP) != 0)
        throw std::runtime_error("cannot stop pcscd with SIGSTOP");
}

void SandboxDaemon::thaw() {
    ::kill(m_pid, SIGCONT);
}

void SandboxDaemon::start() {
    spawn(m_command);
    for (const Deadline deadline(kDefaultTimeout); !deadline.passed();
         std::this_thread::sleep_for(kStep)) {
        try {
            const auto readers = PcscContext().readers();
            if (std::find(readers.begin(), readers.end(), kReaderNames[0]) != readers.end())
                return;
        } catch (const PcscError&) {
            // not listening yet
        }
    }
    throw std::runtime_error("the new pcscd lists no reader");
}

void SandboxDaemon::start_without_readers() {
    std::vector<std::string> command = m_command;
    const auto config = std::find(command.begin(), command.end(), "--config");
    if (config == command.end() || config + 1 == command.end())
        throw std::runtime_error("the sandbox's pcscd has no --config to replace");
    // Beside the sandbox's own, so that the daemon is still known as the sandbox's.
    const std::string empty = *(config + 1) + ".empty";
    std::filesystem::create_directories(empty);
    *(config + 1) = empty;
    spawn(command);
    for (const Deadline deadline(kDefaultTimeout); !deadline.passed();
         std::this_thread::sleep_for(kStep)) {
        try {
            PcscContext answers;
            return;
        } catch (const PcscError&) {
            // not listening yet
        }
    }
    throw std::runtime_error("the new pcscd does not answer");
}

void SandboxDaemon::spawn(std::vector<std::string> command) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const char* log = std::getenv("QEL_SANDBOX_PCSCD_LOG");
    posix_spawn_file_actions_addopen(&actions, 1, log != nullptr ? log : "/dev/null",
                                     O_WRONLY | O_APPEND | O_CREAT, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (std::string& argument : command)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int error = ::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start pcscd");
}

}  // namespace qel::e2e
