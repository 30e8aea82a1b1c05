#pragma once

// The program's version, shown in the window's caption and by `qel_sn --version`. Kept free of
// any window toolkit so that the command-line program can include it.

namespace qel::app {

inline constexpr int version_major = 1;
inline constexpr int version_minor = 1;

}  // namespace qel::app
