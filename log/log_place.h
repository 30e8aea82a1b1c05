#pragma once

#include <optional>
#include <string>

#include "util/OwnedFd.h"

namespace qel::log {

// The folder of the users' state folders that holds the logs of an installed program.
inline constexpr const char* kStateFolderName = "qel-sn-reader";

// What the log file's place depends on besides the program's path: the user's variables.
struct LogEnvironment {
    std::optional<std::string> xdg_state_home;  // XDG_STATE_HOME
    std::optional<std::string> home;            // HOME
    // STATE_DIRECTORY: the folders systemd made for a service's StateDirectory=, separated by ':'.
    std::optional<std::string> state_directory;

    // As this process has them.
    static LogEnvironment of_process();
};

// Where a program's log file goes.
struct LogPlace {
    // Full path of the file; empty when there is no place for it.
    std::string file;
    // The user's state folder the file lies in, made when the log is opened; empty for a file
    // beside the program.
    std::string state_folder;
    // Why there is no place; empty when there is one.
    std::string problem;
};

// The folder the programs of this build are installed to (`cmake --install`, the package).
std::string installed_program_folder();

// In the state directory systemd made for the service that runs the program (the first of
// STATE_DIRECTORY, when it is an absolute path; a link there, as DynamicUser= makes, is followed).
// Otherwise beside the program under its name with ".log" (log_file_name_for) when this process may
// write into the program's folder and the program does not lie in installed_program_folder().
// Otherwise the same name in the user's state folder: $XDG_STATE_HOME/qel-sn-reader, or
// $HOME/.local/state/qel-sn-reader when XDG_STATE_HOME is unset, empty or relative. Makes
// nothing: the folder is made when the log is opened (make_log_folder).
LogPlace log_place_for(const std::string& executable, const LogEnvironment& environment);

// The place of the running program's log file.
LogPlace program_log_place();

// Makes the place's state folder where it is missing, with every missing folder above it, each
// for the user alone (0700), and each only inside a folder of the user running the program (not
// even root makes one in a user's folder). Returns why it cannot be made; empty when it is there,
// and for a place beside the program.
std::string make_log_folder(const LogPlace& place);

// The folder the place's file lies in (its state folder, or the program's folder), opened for
// the file to be opened inside it, when it is safe to write a log there: it is a folder itself,
// not a link to one, it belongs to the user running the program, and no one else may write into
// it. Otherwise a user could plant a link at the log's name, or swap the folder under the
// program, and have a program run by someone else (root, through sudo) write into a file of
// their choosing. Returns why the folder is not used; empty when `folder` holds it.
//
// Both walk the path one folder at a time from the top and follow a symbolic link on the way
// only when it lies in a folder of the running user or of root that no one else may write into;
// a link elsewhere stops them with why that folder is not trusted.
std::string open_log_folder(const LogPlace& place, util::OwnedFd& folder);

}  // namespace qel::log
