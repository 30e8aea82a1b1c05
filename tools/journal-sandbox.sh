#!/usr/bin/env bash
# Runs a command beside a private systemd-journald: the machine's own journal is never written,
# read or restarted.
#
#   tools/journal-sandbox.sh [--hostname NAME] -- COMMAND [ARGS...]
#
# In a mount and UTS namespace of their own, /run/systemd and /run/log are fresh tmpfs (so the
# journal's sockets and its volatile files under /run/log/journal are the private daemon's),
# /var/log/journal is covered by an empty tmpfs, and the daemon reads a configuration of its own
# (volatile storage, no kernel log, no forwarding, no rate limit). --hostname gives the namespace
# that host name, which the entries carry as _HOSTNAME: one station of several.
#
# The command runs with QEL_JOURNAL_DIR=/run/log/journal, and its exit status is passed through.
# Failures of this script itself exit with 125. Root is needed for the namespaces; run it
# inside tools/pcsc-sandbox.sh, whose network namespace keeps a collector's port private too.
#
# The command may take the private daemon away and bring it back, for a journal's outage (in the
# sandbox only: QEL_JOURNAL_SANDBOX names its mount namespace):
#
#   tools/journal-sandbox.sh --journald crash   killed; its socket stays behind, refusing entries
#   tools/journal-sandbox.sh --journald gone    killed, and its socket removed
#   tools/journal-sandbox.sh --journald start   a new daemon, once its socket is there
set -euo pipefail

readonly journald=/lib/systemd/systemd-journald
readonly ready_timeout_s=10
# In the namespace's own /run/log: the daemon of this sandbox, whichever started it last.
readonly pid_file=/run/log/journald.pid
readonly socket=/run/systemd/journal/socket

die() {
    echo "journal-sandbox: $*" >&2
    exit 125
}

gone() { # PID: ended, or a zombie nobody has collected yet
    local state
    state=$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 0
    [ "$state" = Z ]
}

start_journald() {
    local before
    # A socket left behind by a killed daemon is there already: the new one binds its own.
    before=$(stat -c %i "$socket" 2>/dev/null || true)
    "$journald" </dev/null >>/run/log/journald.out 2>&1 &
    local pid=$!
    # Killed on purpose, it is no job of the shell's to report.
    disown "$pid"
    echo "$pid" >"$pid_file"
    for _ in $(seq $((ready_timeout_s * 20))); do
        [ -S "$socket" ] && [ "$(stat -c %i "$socket")" != "$before" ] && return 0
        gone "$pid" && die "systemd-journald ended at once: $(cat /run/log/journald.out)"
        sleep 0.05
    done
    die "systemd-journald made no socket in ${ready_timeout_s} s"
}

stop_journald() { # SIGNAL
    local pid
    pid=$(cat "$pid_file" 2>/dev/null) || return 0
    rm -f "$pid_file"
    kill -"$1" "$pid" 2>/dev/null || true
    for _ in $(seq $((ready_timeout_s * 20))); do
        gone "$pid" && return 0
        sleep 0.05
    done
    die "systemd-journald ($pid) did not end"
}

if [ "${1:-}" = --journald ]; then
    # Only the sandbox's own daemon, in the sandbox's own /run: never the machine's.
    if [ -z "${QEL_JOURNAL_SANDBOX:-}" ] ||
        [ "$QEL_JOURNAL_SANDBOX" != "$(readlink /proc/self/ns/mnt)" ]; then
        die "--journald is for a command inside the sandbox"
    fi
    case "${2:-}" in
        crash) stop_journald KILL ;;
        gone)
            stop_journald KILL
            rm -f "$socket"
            ;;
        start)
            [ ! -f "$pid_file" ] || die "systemd-journald is running already"
            start_journald
            ;;
        *) die "usage: $0 --journald crash|gone|start" ;;
    esac
    exit 0
fi

if [ "${1:-}" = --inside ]; then
    shift
    hostname=$1
    shift
    [ -n "$hostname" ] && hostname "$hostname"
    mount -t tmpfs -o mode=0755 tmpfs /run/systemd
    mount -t tmpfs -o mode=0755 tmpfs /run/log
    [ -d /var/log/journal ] && mount -t tmpfs -o mode=0755 tmpfs /var/log/journal
    config=$(mktemp /run/systemd/journald.XXXXXX.conf)
    printf '%s\n' '[Journal]' Storage=volatile ReadKMsg=no ForwardToSyslog=no ForwardToWall=no \
        ForwardToConsole=no ForwardToKMsg=no RateLimitBurst=0 >"$config"
    mount --bind "$config" /etc/systemd/journald.conf
    # Its drop-ins would change the private daemon's storage.
    for dir in /etc/systemd/journald.conf.d /run/systemd/journald.conf.d \
        /usr/lib/systemd/journald.conf.d; do
        [ -d "$dir" ] && mount -t tmpfs tmpfs "$dir"
    done
    trap 'stop_journald TERM' EXIT
    start_journald
    status=0
    QEL_JOURNAL_DIR=/run/log/journal QEL_JOURNAL_SANDBOX=$(readlink /proc/self/ns/mnt) "$@" ||
        status=$?
    exit "$status"
fi

hostname=
while [ $# -gt 0 ]; do
    case "$1" in
        --hostname)
            hostname=${2:?--hostname needs a name}
            shift 2
            ;;
        --)
            shift
            break
            ;;
        *) die "usage: $0 [--hostname NAME] -- COMMAND [ARGS...]" ;;
    esac
done
[ $# -gt 0 ] || die "usage: $0 [--hostname NAME] -- COMMAND [ARGS...]"
[ "$(id -u)" -eq 0 ] || die "root is needed for the namespaces"
[ -x "$journald" ] || die "$journald is missing (Debian package systemd)"
exec unshare --mount --uts --propagation private -- "$0" --inside "$hostname" "$@"
