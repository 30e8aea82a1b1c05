#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs them through CTest (label fuzz): every committed seed once, then each target
# fuzzes for QEL_FUZZ_SECONDS (30 by default), as many at a time as there are cores. No PC/SC
# service is needed: the card targets load the fake PC/SC library. Exits non-zero on any finding;
# the input that found it is left in build-fuzz/tests/fuzz/<target>-crash-*.
#
#   tests/fuzz/run.sh                       the bounded run ./test.sh makes
#   QEL_FUZZ_SECONDS=600 tests/fuzz/run.sh  a longer one
set -euo pipefail
cd "$(dirname "$0")/../.."

QEL_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev build-essential cmake pkg-config libpcsclite-dev
                   libssl-dev nlohmann-json3-dev)
source scripts/deps.sh
qel_need_packages "${QEL_FUZZ_PACKAGES[@]}"

build=${QEL_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DQEL_BUILD_FUZZ=ON -DQEL_FUZZ_SECONDS="${QEL_FUZZ_SECONDS:-30}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -L fuzz -j "$(nproc)" --output-on-failure
