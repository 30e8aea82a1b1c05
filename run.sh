#!/usr/bin/env bash
# Installs what is missing, builds the tool in Release and starts its window.
#   ./run.sh          against this machine's PC/SC service and its readers
#   ./run.sh --demo   without a dongle: inside a private PC/SC service with a virtual reader
#                     and a virtual dongle attached, so "Get Info" shows a real readout
#                     (needs root for the private namespaces)
set -euo pipefail
cd "$(dirname "$0")"

demo=0
for arg in "$@"; do
    case "$arg" in
        --demo) demo=1 ;;
        *) echo "usage: $0 [--demo]" >&2; exit 2 ;;
    esac
done

source scripts/deps.sh
if [ "$demo" = 1 ]; then
    qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_DEMO_PACKAGES[@]}"
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TOOLS=ON
    cmake --build build -j "$(nproc)"
    qel_warn_system_vpcd
    exec tools/pcsc-sandbox.sh -- tools/demo.sh build
fi

qel_need_packages "${QEL_BUILD_PACKAGES[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"

# The tool talks to the machine's PC/SC service; start it if it is not running yet.
if ! pgrep -x pcscd >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then
        pcscd >/dev/null 2>&1 || true
    else
        sudo systemctl start pcscd.socket >/dev/null 2>&1 || true
    fi
fi

exec build/app/qel_sn_reader
