#!/usr/bin/env bash
# Builds the tool with its tests and runs every test through CTest.
#   ./test.sh              Release build with debug info in build-test/
#   ./test.sh --sanitize   the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#                          in build-asan/ (QEL_SANITIZE=1 ./test.sh does the same)
# Tests that need a real PC/SC service (label e2e) run against a private pcscd with a virtual
# reader, started in its own namespaces; a pcscd serving real readers is never touched.
set -euo pipefail
cd "$(dirname "$0")"

sanitize=${QEL_SANITIZE:-0}
for arg in "$@"; do
    case "$arg" in
        --sanitize|--asan) sanitize=1 ;;
        *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
    esac
done

source scripts/deps.sh
qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_TEST_PACKAGES[@]}"
# The collector of the journal tests and its TLS front, unpacked privately, and the Debian root
# that the package test boots: the sandbox has no network to fetch them. Without the root the
# package test fails and says so.
qel_fetch_journal_remote
qel_fetch_stunnel
tests/package/make_root.sh >/dev/null || echo "No Debian root for the package test" >&2
qel_warn_system_vpcd

build=build-test
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_TESTS=ON -DQEL_BUILD_BENCH=ON)
if [ "$sanitize" = 1 ]; then
    build=build-asan
    flags=(-DCMAKE_BUILD_TYPE=Debug -DQEL_BUILD_TESTS=ON -DQEL_BUILD_BENCH=ON -DQEL_SANITIZE=ON)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
fi

cmake -S . -B "$build" "${flags[@]}"
cmake --build "$build" -j "$(nproc)"

# Every test runs inside the PC/SC sandbox; only the e2e ones use its daemon (the package test,
# label package, boots a Debian root with a daemon of its own). Tests of a machine without any PC/SC
# service (label nopcscd) get a sandbox of their own with no daemon at all.
status=0
tools/pcsc-sandbox.sh -- ctest --test-dir "$build" -j "$(nproc)" -LE nopcscd --output-on-failure || status=1
tools/pcsc-sandbox.sh --no-pcscd -- ctest --test-dir "$build" -L nopcscd --output-on-failure || status=1
# The sandbox's daemon runs the private vpcd driver, and neither the tests nor the demo left a
# virtual reader port open on this machine.
tests/sandbox/check_isolation.sh "$build" || status=1
# No layer includes a header of a layer above it (the build itself refuses the headers of a
# layer that a target does not link).
scripts/check_layers.sh || status=1
tests/fuzz/run.sh || status=1
exit $status
