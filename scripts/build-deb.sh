#!/usr/bin/env bash
# Builds the Debian package of the tool from a Release build and prints the package's path last.
#   scripts/build-deb.sh [BUILD_DIR]    BUILD_DIR defaults to build-deb/
# Install it with: sudo apt-get install ./BUILD_DIR/qel-sn-reader_<version>_<arch>.deb
# QEL_JOBS sets the number of parallel compile jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

source scripts/deps.sh
qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_PACKAGE_PACKAGES[@]}"

# Debian's own build flags, with every hardening it knows (fortified functions, stack
# protector, read-only relocations bound at start), as the distribution's packages get them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF -DQEL_BUILD_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
cmake --build "$build" -j "${QEL_JOBS:-$(nproc)}"

# A package left from an earlier run must not pass for this one.
rm -f "$build"/qel-sn-reader_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/qel-sn-reader_*.deb)
[ -f "${debs[0]}" ] || { echo "build-deb: cpack made no package in $build" >&2; exit 1; }
realpath "${debs[0]}"
