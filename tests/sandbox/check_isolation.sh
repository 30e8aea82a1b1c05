#!/usr/bin/env bash
# Checks that vpcd stays inside the PC/SC sandbox. Run as root, outside any sandbox, after the
# tests (test.sh does):
#   tests/sandbox/check_isolation.sh BUILD_DIR   all three checks below
#   tests/sandbox/check_isolation.sh --ports     only the last one
# 1. The sandbox's pcscd has the private vpcd driver mapped, and no other copy of it.
# 2. The demo of BUILD_DIR comes up headless in the sandbox, its card in a reader, and while it
#    runs vpcd listens in the sandbox's network only.
# 3. Nothing in this machine's own network listens on vpcd's ports 35963 and 35964.
# With BUILD_DIR also: the demo runs its window as the user who called sudo (here: nobody), and
# ./run.sh --demo without root says so before it builds anything.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
source scripts/deps.sh

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

vpcd_listeners() {
    ss -Hltn 'sport = :35963 or sport = :35964'
}

check_driver_inside() {
    local expected loaded
    expected=$(readlink -f -- "$(qel_vpcd_driver)")
    loaded=$(awk '$6 ~ /libifdvpcd/ { print $6 }' "/proc/$QEL_SANDBOX_PCSCD_PID/maps" | sort -u)
    case "$expected" in
        /usr/lib/pcsc/*) fail "the expected driver $expected is the system's, not a private copy" ;;
    esac
    [ "$loaded" = "$expected" ] ||
        fail "the sandbox's pcscd has mapped '${loaded:-no vpcd driver}', not only $expected"
    grep -q "Attempting startup of Virtual PCD 00 00 using $expected\$" "$QEL_SANDBOX_PCSCD_LOG" ||
        fail "the sandbox's pcscd log names no reader started from $expected"
    [ "$failures" -eq 0 ] && echo "ok: the sandbox's pcscd runs vpcd from $expected"
}

check_ports() {
    # ss in a private network namespace sees nothing of the machine's: that would prove nothing.
    # (In some containers the first process's namespace cannot be read; then the variable
    # the sandbox sets is all there is to go by.)
    local init_net
    init_net=$(readlink /proc/1/ns/net 2>/dev/null) || init_net=
    if [ -n "${QEL_SANDBOX:-}" ] || { [ -n "$init_net" ] && [ "$(readlink /proc/self/ns/net)" != "$init_net" ]; }; then
        fail "the port check must run in the machine's own network namespace, outside the sandbox"
        return
    fi
    local listeners
    listeners=$(vpcd_listeners)
    if [ -n "$listeners" ]; then
        fail "$1, this machine listens on vpcd's ports:"
        echo "$listeners" | sed 's/^/    /' >&2
        qel_package_installed vsmartcard-vpcd &&
            echo "    (the package vsmartcard-vpcd is installed: apt-get remove vsmartcard-vpcd)" >&2
        return
    fi
    echo "ok: $1, nothing listens on 35963 or 35964 here"
}

descendants() {
    local child
    for child in $(pgrep -P "$1"); do
        echo "$child"
        descendants "$child"
    done
}

# The window of the demo's sandbox (started as $1), once it runs.
demo_window() {
    local pid
    for pid in $(descendants "$1"); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = qel_sn_reader ] && echo "$pid" && return 0
    done
    return 1
}

check_demo() {
    local build=$1 log sandbox window=''
    log=$(mktemp)
    QT_QPA_PLATFORM=offscreen QEL_DEMO_UID=65534 QEL_DEMO_GID=65534 \
        tools/pcsc-sandbox.sh -- tools/demo.sh "$build" >"$log" 2>&1 &
    sandbox=$!
    for _ in $(seq 200); do
        window=$(demo_window "$sandbox") && break
        kill -0 "$sandbox" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$window" ]; then
        fail "the demo did not come up; its output:"
        sed 's/^/    /' "$log" >&2
    else
        # Seen from the window's network: vpcd's ports are open there and the card is in.
        nsenter --net="/proc/$window/ns/net" ss -Hltn 'sport = :35963' | grep -q . ||
            fail "the demo's sandbox has no vpcd listening on 35963"
        nsenter --net="/proc/$window/ns/net" ss -Htn state established '( dport = :35963 )' |
            grep -q . || fail "the demo's card is not in the first reader"
        check_ports "while the demo runs"
        [ "$(stat -c %u "/proc/$window")" = 65534 ] ||
            fail "the demo's window runs as uid $(stat -c %u "/proc/$window"), not as the user who called sudo"
    fi
    kill -TERM "$sandbox" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$sandbox" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$sandbox" 2>/dev/null; then
        fail "the demo's sandbox did not end on SIGTERM"
        kill -KILL "$sandbox"
    fi
    wait "$sandbox" 2>/dev/null
    rm -f -- "$log"
    check_ports "after the demo"
}

check_demo_without_root() {
    local out status=0
    out=$(timeout 10 setpriv --reuid=65534 --regid=65534 --clear-groups ./run.sh --demo 2>&1) ||
        status=$?
    if [ "$status" != 1 ] || [ "$out" != "run.sh: the demo needs root for the private namespaces of its PC/SC service; run: sudo ./run.sh --demo" ]; then
        fail "./run.sh --demo without root ended with $status and said: $out"
        return
    fi
    echo "ok: ./run.sh --demo without root says at once that it needs root"
}

case "${1:-}" in
    --driver-inside)
        check_driver_inside
        ;;
    --ports)
        check_ports "now"
        ;;
    ""|-*)
        echo "usage: $0 BUILD_DIR | --ports" >&2
        exit 2
        ;;
    *)
        tools/pcsc-sandbox.sh -- "$0" --driver-inside || failures=$((failures + 1))
        check_demo "$1"
        check_demo_without_root
        check_ports "after the tests and the demo"
        ;;
esac
[ "$failures" -eq 0 ]
