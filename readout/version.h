#pragma once

// The program's version, shown in the window's caption and by `qel_sn --version`. Kept free of
// any window toolkit so that the command-line program can include it.

#include <string>

namespace qel::app {

inline constexpr int version_major = 1;
inline constexpr int version_minor = 1;

// "<program> <major>.<minor>", as each program names itself and its version.
inline std::string program_version(const std::string& program) {
    return program + " " + std::to_string(version_major) + "." + std::to_string(version_minor);
}

// The same and a line end, as --version prints it.
inline std::string version_text(const std::string& program = "qel_sn") {
    return program_version(program) + "\n";
}

}  // namespace qel::app
