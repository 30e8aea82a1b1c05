#!/usr/bin/env bash
# Runs a command against a private PC/SC service: a pcscd of its own with the virtual reader
# driver vpcd ("Virtual PCD 00 00" on port 35963, "Virtual PCD 00 01" on 35964), inside private
# mount, network and process namespaces.
#
#   tools/pcsc-sandbox.sh [--no-pcscd] -- COMMAND [ARGS...]
#
#   --no-pcscd   start no daemon: the command sees a machine without a PC/SC service.
#
# The command runs with
#   QEL_SANDBOX=1
#   QEL_SANDBOX_PCSCD_PID   the private pcscd's pid (empty with --no-pcscd)
#   QEL_SANDBOX_PCSCD_LOG   its log (pcscd --info)
#   QEL_SANDBOX_VPCD_DRIVER the vpcd driver it loaded (empty with --no-pcscd)
# and its exit status is passed through. Failures of the sandbox itself exit with 125.
# QEL_SANDBOX_TRACE=1 traces the script itself.
#
# A pcscd that the user runs for real readers is never touched: /run/pcscd is a private tmpfs,
# vpcd's ports live in a private network namespace with only loopback, and the USB reader
# drivers are hidden from the private daemon so it never claims a real reader. Whatever runs in
# the sandbox (pcscd, virtual cards, tests) dies with it: the process namespace ends when the
# command's shell ends, however it ends. Root is needed for the namespaces.
#
# vpcd is never installed: the daemon loads the driver from QEL_VPCD_DRIVER, by default
# .cache/vpcd/usr/lib/pcsc/drivers/serial/libifdvpcd.so, which is unpacked there from the
# Debian package vsmartcard-vpcd on the first run (scripts/deps.sh).
set -euo pipefail
[ -n "${QEL_SANDBOX_TRACE:-}" ] && set -x

readonly drivers_dir=/usr/lib/pcsc/drivers
readonly ready_timeout_s=10
readonly stop_timeout_s=5

die() {
    echo "pcsc-sandbox: $*" >&2
    exit 125
}

usage() {
    echo "usage: $0 [--no-pcscd] -- COMMAND [ARGS...]" >&2
    exit 2
}

# --- inside the namespaces, as their first process -------------------------------------------

pcscd_pid=
command_pid=
work_dir=
wait_status=0

# Waits for a child of this shell and leaves its exit status in wait_status. A trapped signal
# also ends `wait`, with 128 + its number: the child is gone only once it cannot be signalled
# any more, and then one more `wait` gives its real status (127: bash had already handed it out).
wait_for() {
    local again
    while :; do
        wait_status=0
        wait "$1" || wait_status=$?
        if ! kill -0 "$1" 2>/dev/null; then
            again=0
            wait "$1" 2>/dev/null || again=$?
            [ "$again" -eq 127 ] || wait_status=$again
            return 0
        fi
    done
}

forward_to_command() {
    if [ -n "$command_pid" ]; then
        kill -"$1" "$command_pid" 2>/dev/null || true
    else
        exit 125  # still starting: nothing to wait for
    fi
}

process_alive() {
    local pid state
    [ -r "/proc/$1/stat" ] || return 1
    read -r pid _ state _ <"/proc/$1/stat" || return 1
    [ "$state" != Z ]
}

stop_pcscd() {
    [ -n "$pcscd_pid" ] || return 0
    local pid=$pcscd_pid
    pcscd_pid=
    if process_alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        local waited=0
        while process_alive "$pid" && [ "$waited" -lt $((stop_timeout_s * 10)) ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        if process_alive "$pid"; then
            echo "pcsc-sandbox: pcscd ignored SIGTERM for ${stop_timeout_s} s, killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop_pcscd
    if [ -n "$work_dir" ]; then
        rm -rf -- "$work_dir"
        work_dir=
    fi
}

wait_until_ready() {
    local log=$1 tries=$((ready_timeout_s * 10))
    while [ "$tries" -gt 0 ]; do
        if ! process_alive "$pcscd_pid"; then
            echo "pcsc-sandbox: pcscd exited during start-up; its log:" >&2
            sed 's/^/  /' "$log" >&2
            return 1
        fi
        # pcscd creates its socket and announces readiness only after the readers of its
        # configuration are up, so both together mean a client's listing gets the readers.
        if [ -S /run/pcscd/pcscd.comm ] && grep -q 'daemon ready' "$log"; then
            return 0
        fi
        sleep 0.1
        tries=$((tries - 1))
    done
    echo "pcsc-sandbox: pcscd not ready after ${ready_timeout_s} s; its log:" >&2
    sed 's/^/  /' "$log" >&2
    return 1
}

inside() {
    local start_pcscd=$1
    shift

    trap cleanup EXIT
    # Ctrl-C reaches the command and pcscd directly (they share the terminal's process group);
    # SIGTERM and SIGHUP sent to the sandbox are passed on to the command, which then ends it.
    trap 'forward_to_command TERM' TERM
    trap 'forward_to_command HUP' HUP

    ip link set lo up || die "cannot bring up the loopback interface"

    # An empty directory is all the host ever sees of this: the daemon's socket and pid file
    # live in a tmpfs private to this mount namespace. The directory is never removed again,
    # as another sandbox may be using it as its own mount point.
    mkdir -p /run/pcscd
    mount -t tmpfs -o mode=0755,size=1m qel-pcsc-sandbox /run/pcscd ||
        die "cannot mount a private tmpfs on /run/pcscd"
    unset PCSCLITE_CSOCK_NAME

    export QEL_SANDBOX=1
    export QEL_SANDBOX_PCSCD_PID=
    export QEL_SANDBOX_PCSCD_LOG=
    export QEL_SANDBOX_VPCD_DRIVER=${QEL_SANDBOX_VPCD_DRIVER:-}

    if [ "$start_pcscd" = 1 ]; then
        work_dir=$(mktemp -d /tmp/qel-pcsc-sandbox.XXXXXX) || die "cannot create a work directory"
        mkdir "$work_dir/reader.conf.d"

        # Hide the USB drivers (CCID and friends) behind an empty tmpfs; vpcd comes from its
        # private folder.
        local vpcd_driver=$QEL_SANDBOX_VPCD_DRIVER
        mount -t tmpfs -o mode=0755,size=4m qel-pcsc-drivers "$drivers_dir" ||
            die "cannot hide the reader drivers in $drivers_dir"

        # vpcd opens CHANNELID and the port above it, one reader each.
        cat >"$work_dir/reader.conf.d/vpcd" <<EOF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      $vpcd_driver
CHANNELID    0x8C7B
EOF
        local log=$work_dir/pcscd.log
        pcscd --foreground --info --config "$work_dir/reader.conf.d" </dev/null >"$log" 2>&1 &
        pcscd_pid=$!
        wait_until_ready "$log" || exit 125
        QEL_SANDBOX_PCSCD_PID=$pcscd_pid
        QEL_SANDBOX_PCSCD_LOG=$log
    fi

    # In the background, so a SIGTERM to this shell is handled at once rather than after the
    # command; env gives the command back the SIGINT that background jobs start without.
    env --default-signal=INT,QUIT -- "$@" &
    command_pid=$!
    local status
    wait_for "$command_pid"
    status=$wait_status
    exit "$status"
}

if [ "${1:-}" = --inside ]; then
    [ "${3:-}" = -- ] || die "internal: bad inner arguments"
    start=$2
    shift 3
    inside "$start" "$@"
fi

# --- outside: check, then re-enter through unshare ---------------------------------------------

start_pcscd=1
while [ $# -gt 0 ]; do
    case "$1" in
        --no-pcscd) start_pcscd=0; shift ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ $# -gt 0 ] || usage

[ "$(id -u)" -eq 0 ] ||
    die "root is needed to create the private namespaces (unshare --mount --net --pid); run it as root or through sudo"
for tool in unshare ip mount; do
    command -v "$tool" >/dev/null || die "$tool is missing (packages util-linux, iproute2, mount)"
done
if [ "$start_pcscd" = 1 ]; then
    command -v pcscd >/dev/null || die "pcscd is missing (package pcscd)"
    # shellcheck source-path=SCRIPTDIR source=../scripts/deps.sh
    source "$(dirname -- "$(readlink -f -- "${BASH_SOURCE[0]}")")/../scripts/deps.sh"
    if [ -z "${QEL_VPCD_DRIVER:-}" ]; then
        qel_fetch_vpcd || die "no vpcd driver: it is fetched into $qel_vpcd_dir on the first run"
    fi
    vpcd_driver=$(readlink -f -- "$(qel_vpcd_driver)") && [ -f "$vpcd_driver" ] ||
        die "the vpcd driver $(qel_vpcd_driver) is missing"
    case "$vpcd_driver" in
        "$drivers_dir"/*) die "the vpcd driver $vpcd_driver would be hidden with the other drivers in $drivers_dir" ;;
        *[[:space:]]*) die "the vpcd driver's path holds a space, which reader.conf cannot take: $vpcd_driver" ;;
    esac
    export QEL_SANDBOX_VPCD_DRIVER=$vpcd_driver
else
    export QEL_SANDBOX_VPCD_DRIVER=
fi

self=$(readlink -f -- "${BASH_SOURCE[0]}")
# --kill-child: if unshare is killed, the namespace's first process gets SIGKILL, and with it
# everything started inside. unshare itself holds back SIGINT and SIGTERM while its child runs,
# so this shell stays in between to pass SIGTERM and SIGHUP on to the namespace's first process.
unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private -- \
    "$BASH" "$self" --inside "$start_pcscd" -- "$@" &
unshare_pid=$!

forward_to_sandbox() {
    local init
    for init in $(pgrep -P "$unshare_pid" 2>/dev/null); do
        kill -"$1" "$init" 2>/dev/null || true
    done
}
trap 'forward_to_sandbox TERM' TERM
trap 'forward_to_sandbox HUP' HUP
trap : INT  # the terminal's Ctrl-C reaches the command itself

wait_for "$unshare_pid"
exit "$wait_status"
