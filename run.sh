#!/usr/bin/env bash
# Installs what is missing, builds the tool in Release and starts its window.
set -euo pipefail
cd "$(dirname "$0")"

source scripts/deps.sh
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
