#include "log/log_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "log/event_file.h"
#include "log/event_log.h"

namespace qel::log {

namespace {

namespace fs = std::filesystem;

bool may_write_beside(const fs::path& folder) {
    // Not even root, who may write anywhere, puts a log beside an installed program: no package
    // owns that file, so it would outlive the program's removal.
    const fs::path installed(installed_program_folder());
    std::error_code ignored;
    if (folder.lexically_normal() == installed.lexically_normal() ||
        fs::equivalent(folder, installed, ignored)) {
        return false;
    }
    return ::access(folder.c_str(), W_OK) == 0;
}

// Relative values count as unset: they would name another folder in every working directory.
bool is_absolute(const std::optional<std::string>& value) {
    return value && !value->empty() && value->front() == '/';
}

// The service's own folder: systemd made it for the user the program runs as.
std::string service_state_folder(const LogEnvironment& environment) {
    if (!environment.state_directory)
        return {};
    const std::string first =
        environment.state_directory->substr(0, environment.state_directory->find(':'));
    if (!is_absolute(first))
        return {};
    std::error_code unresolved;
    const fs::path resolved = fs::canonical(first, unresolved);
    return unresolved ? first : resolved.string();
}

std::string state_folder(const LogEnvironment& environment) {
    if (is_absolute(environment.xdg_state_home)) {
        return (fs::path(*environment.xdg_state_home) / kStateFolderName).string();
    }
    if (is_absolute(environment.home)) {
        return (fs::path(*environment.home) / ".local" / "state" / kStateFolderName).string();
    }
    return {};
}

}  // namespace

LogEnvironment LogEnvironment::of_process() {
    const auto variable = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    };
    return {variable("XDG_STATE_HOME"), variable("HOME"), variable("STATE_DIRECTORY")};
}

std::string installed_program_folder() {
    return QEL_INSTALLED_PROGRAM_FOLDER;
}

LogPlace log_place_for(const std::string& executable, const LogEnvironment& environment) {
    LogPlace place;
    const std::string beside = log_file_name_for(executable);
    if (beside.empty()) {
        place.problem = "the program's path is unknown";
        return place;
    }
    const fs::path file(beside);
    place.state_folder = service_state_folder(environment);
    if (!place.state_folder.empty()) {
        place.file = (fs::path(place.state_folder) / file.filename()).string();
        return place;
    }
    if (may_write_beside(file.parent_path())) {
        place.file = beside;
        return place;
    }
    place.state_folder = state_folder(environment);
    if (place.state_folder.empty()) {
        place.problem = "neither XDG_STATE_HOME nor HOME is an absolute path";
        return place;
    }
    place.file = (fs::path(place.state_folder) / file.filename()).string();
    return place;
}

LogPlace program_log_place() {
    return log_place_for(executable_path(), LogEnvironment::of_process());
}

std::string make_log_folder(const LogPlace& place) {
    if (place.state_folder.empty()) {
        return {};
    }
    // One folder at a time from the top, each made with its mode at once: a folder that exists
    // is left as it is, and something else in the way makes the next step fail.
    fs::path made;
    for (const fs::path& part : fs::path(place.state_folder)) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create " + made.string() + ": " + std::strerror(errno);
        }
    }
    return {};
}

std::string open_log_folder(const LogPlace& place, util::OwnedFd& folder) {
    const std::string path = place.state_folder.empty()
                                 ? fs::path(place.file).parent_path().string()
                                 : place.state_folder;
    // O_NOFOLLOW: the folder's own name may not be a link either; what lies above it is the
    // user's choice of path.
    util::OwnedFd opened(
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!opened.holds()) {
        if (errno == ENOTDIR || errno == ELOOP) {
            return path + " is not a folder";
        }
        return "cannot reach " + path + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (::fstat(opened.get(), &info) != 0) {
        return "cannot reach " + path + ": " + std::strerror(errno);
    }
    if (info.st_uid != ::geteuid()) {
        return path + " belongs to another user";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return path + " may be written by other users";
    }
    folder = std::move(opened);
    return {};
}

}  // namespace qel::log
