#!/usr/bin/env bash
# Makes docs/screenshot.png: the demo (a private PC/SC service with the virtual dongle) under
# Xvfb, after one press of "Get Info". Needs root for the private namespaces.
#   scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--inside" ]; then
    # Runs inside tools/pcsc-sandbox.sh.
    build=$2 output=$3
    # A display nobody holds: a server killed without notice leaves its lock file behind.
    display=77
    while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 640x360x24 -nolisten tcp >/dev/null 2>&1 &
    export DISPLAY=":$display"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    tools/demo.sh "$build" >/dev/null 2>&1 &
    window=$(xdotool search --sync --onlyvisible --name "QEL S/N Reader")
    sleep 0.5
    # The middle of the "Get Info" button, in the window's own coordinates.
    xdotool mousemove --window "$window" 197 218 click 1
    sleep 1
    import -window root "$output"
    echo "wrote $output"
    exit 0
fi

output=${1:-docs/screenshot.png}
source scripts/deps.sh
qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_DEMO_PACKAGES[@]}" xvfb x11-utils imagemagick xdotool
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TOOLS=ON
cmake --build build -j "$(nproc)"
mkdir -p "$(dirname "$output")"
tools/pcsc-sandbox.sh -- "$0" --inside build "$(realpath -m "$output")"
