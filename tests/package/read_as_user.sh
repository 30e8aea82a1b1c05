#!/usr/bin/env bash
# Inside the package test's booted Debian root, as its root: reads the virtual dongle (already in
# "Virtual PCD 00 00") with both installed programs as the normal user USER, and reads their lines
# back from that user's state folder.
#   read_as_user.sh USER
set -euo pipefail
user=${1:?usage: $0 USER}

readonly wait_s=20
readonly readout=$'Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\nFinished\r\n'

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

home=$(getent passwd "$user" | cut -d: -f6)
[ -d "$home" ] || fail "$user has no home"
runtime=$(mktemp -d /tmp/qel-runtime.XXXXXX)
chown "$user:" "$runtime"
work=$(mktemp -d /tmp/qel-user.XXXXXX)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf -- "$runtime" "$work"
}
trap cleanup EXIT

# The user's own rights and nothing of root's environment. A command, not a function, so that a
# program started in the background is the process that $! names (setpriv and env each exec the
# next).
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups --
    env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime")

# Waits until the file holds the text (a bounded loop: the programs write each line at once).
wait_for_text() {
    local file=$1 text=$2 tries=$((wait_s * 10))
    while [ "$tries" -gt 0 ]; do
        [ -f "$file" ] && [[ "$(cat "$file")" == *"$text"* ]] && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# How many runs the log file holds: header lines that name the program.
log_runs() {
    local cr=$'\r'
    grep -cE "^=== \[[0-9]{2}-[0-9]{2}-[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} $2\] ===$cr\$" "$1" || true
}

step "qel_sn as $user"
[ "$("${as_user[@]}" /usr/bin/qel_sn --version)" = "qel_sn 1.1" ] || fail "qel_sn --version"
state=$home/.local/state/qel-sn-reader
for program in qel_sn qel_sn_reader; do
    help=$("${as_user[@]}" "/usr/bin/$program" --help)
    grep -qxF "  $state/$program.log" <<<"$help" ||
        fail "$program --help does not name $state/$program.log: $help"
done
# A watch reads the dongle that is in its reader at once.
"${as_user[@]}" /usr/bin/qel_sn --watch >"$work/watch.out" 2>"$work/watch.err" &
watch=$!
pids+=("$watch")
wait_for_text "$state/qel_sn.log" "Finished" ||
    fail "qel_sn --watch did not read the dongle: $(cat "$work/watch.err")"
kill -TERM "$watch"
watch_status=0
wait "$watch" || watch_status=$?
[ "$watch_status" -eq 0 ] || fail "qel_sn --watch ended with $watch_status on SIGTERM"
run_status=0
"${as_user[@]}" /usr/bin/qel_sn >"$work/qel_sn.out" 2>"$work/qel_sn.err" || run_status=$?
[ "$run_status" -eq 0 ] || fail "qel_sn ended with $run_status: $(cat "$work/qel_sn.err")"
[ "$(cat "$work/qel_sn.out")" = "$(tr -d '\r' <<<"$readout")" ] ||
    fail "qel_sn printed: $(cat "$work/qel_sn.out")"

step "the window, off screen, as $user"
# --watch presses "Get Info" at once for the dongle already in its reader.
"${as_user[@]}" QT_QPA_PLATFORM=offscreen /usr/bin/qel_sn_reader --watch >"$work/window.log" 2>&1 &
window=$!
pids+=("$window")
wait_for_text "$state/qel_sn_reader.log" "Finished" ||
    fail "the window did not read the dongle: $(cat "$work/window.log")"
kill -TERM "$window"
wait "$window" 2>/dev/null || true

step "the log files in $user's state folder"
for made in "$home/.local" "$home/.local/state" "$state"; do
    [ "$(stat -c '%a %U' "$made")" = "700 $user" ] ||
        fail "$made is $(stat -c '%a %U' "$made"), not 700 $user"
done
[ "$(log_runs "$state/qel_sn.log" /usr/bin/qel_sn)" -eq 2 ] ||
    fail "qel_sn.log has not two runs of /usr/bin/qel_sn: $(cat -A "$state/qel_sn.log")"
[ "$(log_runs "$state/qel_sn_reader.log" /usr/bin/qel_sn_reader)" -eq 1 ] ||
    fail "qel_sn_reader.log has not one run of /usr/bin/qel_sn_reader"
# Each run's lines, exactly, without the headers and the empty lines before each later one.
lines=$(sed '/^=== \[/d; /^\r$/d' "$state/qel_sn.log")
[ "$lines"$'\n' = "$readout$readout" ] || fail "qel_sn.log holds: $(cat -A "$state/qel_sn.log")"
lines=$(sed '/^=== \[/d; /^\r$/d' "$state/qel_sn_reader.log")
[ "$lines"$'\n' = "$readout" ] || fail "qel_sn_reader.log holds: $(cat -A "$state/qel_sn_reader.log")"
for program in qel_sn qel_sn_reader; do
    [ ! -e "/usr/bin/$program.log" ] || fail "/usr/bin/$program.log was written"
done
echo "ok: $user read the dongle with both programs"
