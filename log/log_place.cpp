#include "log/log_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <vector>

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

// As many links on one path as the system itself follows before it gives up.
constexpr int kMostLinksOnThePath = 40;

enum class Walk { reach, make };

std::string cannot(Walk walk, const fs::path& at, int error) {
    return (walk == Walk::make ? "cannot create " : "cannot reach ") + at.string() + ": " +
           std::strerror(error);
}

// Only the owner of a folder, and root, can put a link into a folder no one else may write into.
std::string why_its_links_are_not_followed(const fs::path& at, const struct stat& folder) {
    if (folder.st_uid != ::geteuid() && folder.st_uid != 0) {
        return at.string() + " belongs to another user";
    }
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return at.string() + " may be written by other users";
    }
    return {};
}

bool read_link(int link, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlinkat(link, "", buffer.data(), buffer.size());
        if (n < 0) {
            return false;
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Walks to the folder at `path` one name at a time, each opened from the folder above it, so that
// nothing swapped in behind a checked name is used. Walk::make makes each missing folder (0700),
// but only in a folder of the running user: root, run by a user through sudo with their
// XDG_STATE_HOME, would otherwise leave a folder of root's in the user's home, which their own
// runs could not write into. A link on the way is followed only where nobody but the running user
// or root could have put it, or a link planted in a user's folder would lead root's program to
// make and write its folders wherever the user likes; the folder itself is never a link.
// Walk::reach opens the folder, for files to be opened inside it. Returns why not; empty when
// done.
std::string walk_to_folder(const std::string& path, Walk walk, util::OwnedFd& folder) {
    const fs::path whole(path);
    fs::path at = whole.is_absolute() ? fs::path("/") : fs::path();
    std::deque<std::string> names;
    for (const fs::path& part : whole.relative_path()) {
        if (!part.empty() && part != ".") {
            names.push_back(part.string());
        }
    }
    util::OwnedFd current(
        ::open(whole.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!current.holds() || ::fstat(current.get(), &info) != 0) {
        const int error = errno;
        return cannot(walk, whole.is_absolute() ? fs::path("/") : fs::path("."), error);
    }
    int links = 0;
    while (!names.empty()) {
        const std::string name = names.front();
        names.pop_front();
        const fs::path next = name == ".." ? at.parent_path() : at / name;
        util::OwnedFd step(::openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!step.holds() && errno == ENOENT && walk == Walk::make) {
            if (info.st_uid != ::geteuid()) {
                return at.string() + " belongs to another user";
            }
            // Another program may make it meanwhile: then it is used as found, and checked.
            if (::mkdirat(current.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
                return cannot(walk, next, errno);
            }
            step = util::OwnedFd(
                ::openat(current.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        }
        struct stat step_info {};
        if (!step.holds() || ::fstat(step.get(), &step_info) != 0) {
            return cannot(walk, next, errno);
        }
        if (S_ISLNK(step_info.st_mode) && !names.empty()) {
            if (std::string why = why_its_links_are_not_followed(at, info); !why.empty()) {
                return why;
            }
            std::string target;
            if (++links > kMostLinksOnThePath) {
                return cannot(walk, next, ELOOP);
            }
            if (!read_link(step.get(), target)) {
                return cannot(walk, next, errno);
            }
            if (target.empty()) {
                return cannot(walk, next, ENOENT);
            }
            const fs::path to(target);
            const fs::path relative = to.relative_path();
            for (auto part = relative.end(); part != relative.begin();) {
                --part;
                if (!part->empty() && *part != ".") {
                    names.push_front(part->string());
                }
            }
            if (to.is_absolute()) {
                current = util::OwnedFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!current.holds() || ::fstat(current.get(), &info) != 0) {
                    const int error = errno;
                    return cannot(walk, "/", error);
                }
                at = "/";
            }
            continue;
        }
        if (!S_ISDIR(step_info.st_mode)) {
            if (names.empty()) {
                return next.string() + " is not a folder";
            }
            return cannot(walk, next / names.front(), ENOTDIR);
        }
        current = std::move(step);
        info = step_info;
        at = next;
    }
    if (walk == Walk::reach) {
        folder = util::OwnedFd(
            ::openat(current.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
        if (!folder.holds()) {
            return cannot(walk, at, errno);
        }
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
    util::OwnedFd unused;
    return walk_to_folder(place.state_folder, Walk::make, unused);
}

std::string open_log_folder(const LogPlace& place, util::OwnedFd& folder) {
    const std::string path = place.state_folder.empty()
                                 ? fs::path(place.file).parent_path().string()
                                 : place.state_folder;
    util::OwnedFd opened;
    if (std::string why = walk_to_folder(path, Walk::reach, opened); !why.empty()) {
        return why;
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
