#!/usr/bin/env bash
# Installs what is missing, builds the tool in Release and starts its window.
#   ./run.sh               against this machine's PC/SC service and its readers
#   sudo ./run.sh --demo   without a dongle: inside a private PC/SC service with a virtual reader
#                          and a virtual dongle attached, so "Get Info" shows a real readout
#                          (root for the private namespaces; the build and the window run as the
#                          user who called sudo)
set -euo pipefail
cd "$(dirname "$0")"

demo=0
for arg in "$@"; do
    case "$arg" in
        --demo) demo=1 ;;
        *) echo "usage: $0 [--demo]" >&2; exit 2 ;;
    esac
done

# Said before minutes of building, not after.
if [ "$demo" = 1 ] && [ "$(id -u)" -ne 0 ]; then
    echo "run.sh: the demo needs root for the private namespaces of its PC/SC service; run: sudo $0 --demo" >&2
    exit 1
fi

source scripts/deps.sh

# Through sudo, what is built and run belongs to the user who called it: nothing of root's is
# left in their checkout, and the window's log is theirs.
as_user=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ "$SUDO_UID" != 0 ]; then
    user_home=$(getent passwd "$SUDO_UID" | cut -d: -f6)
    as_user=(setpriv --reuid="$SUDO_UID" --regid="$SUDO_GID" --init-groups
        env HOME="$user_home" USER="${SUDO_USER:-}" LOGNAME="${SUDO_USER:-}")
    # Earlier versions of this script built as root; those folders go back to their owner.
    for dir in build .cache; do
        if [ -e "$dir" ] && [ -n "$(find "$dir" -uid 0 -print -quit)" ]; then
            chown -R "$SUDO_UID:$SUDO_GID" "$dir"
            echo "run.sh: $dir/ held files of root's from an earlier run; given back to ${SUDO_USER:-uid $SUDO_UID}"
        fi
    done
fi

if [ "$demo" = 1 ]; then
    qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_DEMO_PACKAGES[@]}"
    "${as_user[@]}" cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TOOLS=ON
    "${as_user[@]}" cmake --build build -j "$(nproc)"
    # Fetched here, as the user: inside the sandbox it would be fetched as root.
    "${as_user[@]}" bash -c 'source scripts/deps.sh && qel_fetch_vpcd'
    qel_warn_system_vpcd
    QEL_DEMO_UID=${as_user:+$SUDO_UID} QEL_DEMO_GID=${as_user:+$SUDO_GID} \
        exec tools/pcsc-sandbox.sh -- tools/demo.sh build
fi

qel_need_packages "${QEL_BUILD_PACKAGES[@]}"
"${as_user[@]}" cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
"${as_user[@]}" cmake --build build -j "$(nproc)"

# The tool talks to the machine's PC/SC service through its socket, which Debian's socket unit
# holds even while pcscd itself sleeps. A pcscd in a sandbox has a socket of its own elsewhere.
socket=${PCSCLITE_CSOCK_NAME:-/run/pcscd/pcscd.comm}
# Started here, it is the machine's service like any other: it stays when the window closes.
if ! [ -S "$socket" ]; then
    if [ -d /run/systemd/system ]; then
        start=(systemctl start pcscd.socket)
    else
        start=(/usr/sbin/pcscd)
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "run.sh: the PC/SC service is not running; start it with: sudo ${start[*]}" >&2
    else
        echo "run.sh: starting this machine's PC/SC service (${start[*]}); it keeps running after the window closes"
        "${start[@]}" || echo "run.sh: cannot start the PC/SC service (${start[*]})" >&2
    fi
fi

exec "${as_user[@]}" build/window/qel_sn_reader
