#!/usr/bin/env bash
# Makes a screenshot of the tool in the demo (a private PC/SC service with the virtual dongle)
# under Xvfb, after one press of "Get Info". Needs root for the private namespaces.
#   scripts/screenshot.sh [--remap] [--dismiss] [OUTPUT.png [QEL_VCARD_OPTIONS...]]
# OUTPUT.png defaults to docs/screenshot.png; the qel_vcard options change the dongle (see
# build/tools/qel_vcard --help), e.g. --sw 401062B201FF=6A82 for a refused firmware command or
# --silent-after 1 for a dongle that stops answering. --remap hides the window and shows it
# again just before the picture is taken: without a compositor only a window that still
# processes its messages paints itself again, a frozen one stays empty. --dismiss presses Return
# before the picture, which closes a message box the press brought up.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--inside" ]; then
    # Runs inside tools/pcsc-sandbox.sh.
    build=$2 output=$3 remap=$4 dismiss=$5
    shift 5
    # A display nobody holds: a server killed without notice leaves its lock file behind.
    display=77
    while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 640x360x24 -nolisten tcp >/dev/null 2>&1 &
    export DISPLAY=":$display"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    tools/demo.sh "$build" "$@" >/dev/null 2>&1 &
    window=$(xdotool search --sync --onlyvisible --name "QEL S/N Reader" | head -n 1)
    sleep 0.5
    # The middle of the "Get Info" button, in the window's own coordinates.
    xdotool mousemove --window "$window" 197 218 click 1
    sleep 1.5
    if [ "$dismiss" = 1 ]; then
        xdotool key Return
        sleep 0.5
    fi
    if [ "$remap" = 1 ]; then
        xdotool windowunmap --sync "$window"
        sleep 0.5
        xdotool windowmap --sync "$window"
        sleep 1
    fi
    import -window root "$output"
    echo "wrote $output"
    exit 0
fi

remap=0
dismiss=0
while [ $# -gt 0 ]; do
    case "$1" in
        --remap) remap=1 ;;
        --dismiss) dismiss=1 ;;
        *) break ;;
    esac
    shift
done
output=${1:-docs/screenshot.png}
[ $# -gt 0 ] && shift
source scripts/deps.sh
qel_need_packages "${QEL_BUILD_PACKAGES[@]}" "${QEL_DEMO_PACKAGES[@]}" xvfb x11-utils imagemagick xdotool
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_TOOLS=ON
cmake --build build -j "$(nproc)"
mkdir -p "$(dirname "$output")"
tools/pcsc-sandbox.sh -- "$0" --inside build "$(realpath -m "$output")" "$remap" "$dismiss" "$@"
