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
set -euo pipefail

readonly journald=/lib/systemd/systemd-journald
readonly ready_timeout_s=10

die() {
    echo "journal-sandbox: $*" >&2
    exit 125
}

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
    "$journald" </dev/null >/run/log/journald.out 2>&1 &
    journald_pid=$!
    trap 'kill "$journald_pid" 2>/dev/null; wait "$journald_pid" 2>/dev/null || true' EXIT
    for _ in $(seq $((ready_timeout_s * 20))); do
        [ -S /run/systemd/journal/socket ] && break
        kill -0 "$journald_pid" 2>/dev/null ||
            die "systemd-journald ended at once: $(cat /run/log/journald.out)"
        sleep 0.05
    done
    [ -S /run/systemd/journal/socket ] || die "systemd-journald made no socket in ${ready_timeout_s} s"
    status=0
    QEL_JOURNAL_DIR=/run/log/journal "$@" || status=$?
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
