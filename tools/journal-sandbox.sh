#!/usr/bin/env bash
# Runs a command beside a private systemd-journald: the machine's own journal is never written,
# read or restarted.
#
#   tools/journal-sandbox.sh [--hostname NAME] [--namespace NS] -- COMMAND [ARGS...]
#
# In a mount and UTS namespace of their own, /run/systemd and /run/log are fresh tmpfs (so the
# journal's sockets and its volatile files under /run/log/journal are the private daemon's),
# /var/log/journal is covered by an empty tmpfs, and the daemon reads a configuration of its own
# (volatile storage, no kernel log, no forwarding, no rate limit). --hostname gives the namespace
# that host name, which the entries carry as _HOSTNAME: one station of several.
#
# --namespace NS adds a second daemon for the journal namespace NS, as systemd-journald@NS.service
# would run on a station: its sockets in /run/systemd/journal.NS, its files in
# /run/log/journal/MACHINE-ID.NS, and the same configuration as a drop-in of its own. A command
# logs into it as a unit with LogNamespace=NS does:
#
#   tools/journal-sandbox.sh --log-namespace -- COMMAND [ARGS...]
#
# The command runs with QEL_JOURNAL_DIR=/run/log/journal (with --namespace also
# QEL_JOURNAL_NAMESPACE=NS and QEL_JOURNAL_NAMESPACE_DIR, the namespace's folder of files), and
# its exit status is passed through.
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
readonly config='[Journal]
Storage=volatile
ReadKMsg=no
ForwardToSyslog=no
ForwardToWall=no
ForwardToConsole=no
ForwardToKMsg=no
RateLimitBurst=0'

die() {
    echo "journal-sandbox: $*" >&2
    exit 125
}

gone() { # PID: ended, or a zombie nobody has collected yet
    local state
    state=$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 0
    [ "$state" = Z ]
}

start_journald() { # [NAMESPACE]: the main daemon, or that namespace's
    local before its_socket=$socket its_pid_file=$pid_file out=/run/log/journald.out
    local name=systemd-journald
    if [ -n "${1:-}" ]; then
        its_socket=/run/systemd/journal.$1/socket its_pid_file=/run/log/journald@$1.pid
        out=/run/log/journald@$1.out name="systemd-journald $1"
    fi
    # A socket left behind by a killed daemon is there already: the new one binds its own.
    before=$(stat -c %i "$its_socket" 2>/dev/null || true)
    "$journald" ${1:+"$1"} </dev/null >>"$out" 2>&1 &
    local pid=$!
    # Killed on purpose, it is no job of the shell's to report.
    disown "$pid"
    echo "$pid" >"$its_pid_file"
    for _ in $(seq $((ready_timeout_s * 20))); do
        [ -S "$its_socket" ] && [ "$(stat -c %i "$its_socket")" != "$before" ] && return 0
        gone "$pid" && die "$name ended at once: $(cat "$out")"
        sleep 0.05
    done
    die "$name made no socket in ${ready_timeout_s} s"
}

stop_journald() { # SIGNAL [PID_FILE]
    local pid its_pid_file=${2:-$pid_file}
    pid=$(cat "$its_pid_file" 2>/dev/null) || return 0
    rm -f "$its_pid_file"
    kill -"$1" "$pid" 2>/dev/null || true
    for _ in $(seq $((ready_timeout_s * 20))); do
        gone "$pid" && return 0
        sleep 0.05
    done
    die "systemd-journald ($pid) did not end"
}

in_sandbox() {
    [ -n "${QEL_JOURNAL_SANDBOX:-}" ] && [ "$QEL_JOURNAL_SANDBOX" = "$(readlink /proc/self/ns/mnt)" ]
}

if [ "${1:-}" = --log-namespace ]; then
    in_sandbox || die "--log-namespace is for a command inside the sandbox"
    [ -n "${QEL_JOURNAL_NAMESPACE:-}" ] || die "--log-namespace needs a sandbox started with --namespace"
    if [ "${2:-}" != -- ] || [ $# -lt 3 ]; then
        die "usage: $0 --log-namespace -- COMMAND [ARGS...]"
    fi
    shift 2
    # What systemd does for a unit with LogNamespace=: the namespace's sockets, read-only, where
    # the journal's are, in a mount namespace of the command's own (the journal's /dev/log points
    # there too).
    # shellcheck disable=SC2016 # expanded by that shell
    exec unshare --mount --propagation private -- sh -c \
        'mount --rbind -o ro "/run/systemd/journal.$QEL_JOURNAL_NAMESPACE" /run/systemd/journal &&
         exec "$@"' sh "$@"
fi

if [ "${1:-}" = --journald ]; then
    # Only the sandbox's own daemon, in the sandbox's own /run: never the machine's.
    in_sandbox || die "--journald is for a command inside the sandbox"
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
    hostname=$1 namespace=$2
    shift 2
    [ -n "$hostname" ] && hostname "$hostname"
    mount -t tmpfs -o mode=0755 tmpfs /run/systemd
    mount -t tmpfs -o mode=0755 tmpfs /run/log
    [ -d /var/log/journal ] && mount -t tmpfs -o mode=0755 tmpfs /var/log/journal
    config_file=$(mktemp /run/systemd/journald.XXXXXX.conf)
    echo "$config" >"$config_file"
    mount --bind "$config_file" /etc/systemd/journald.conf
    # Its drop-ins would change the private daemon's storage.
    for dir in /etc/systemd/journald.conf.d /run/systemd/journald.conf.d \
        /usr/lib/systemd/journald.conf.d; do
        [ -d "$dir" ] && mount -t tmpfs tmpfs "$dir"
    done
    trap 'stop_journald TERM; stop_journald TERM "/run/log/journald@$namespace.pid"' EXIT
    start_journald
    if [ -n "$namespace" ]; then
        # A namespace's daemon reads journald@NS.conf with its drop-ins: the machine's are
        # covered, and the sandbox's configuration is a drop-in in the private /run.
        [ -f "/etc/systemd/journald@$namespace.conf" ] &&
            mount --bind "$config_file" "/etc/systemd/journald@$namespace.conf"
        for dir in "/etc/systemd/journald@$namespace.conf.d" \
            "/usr/lib/systemd/journald@$namespace.conf.d"; do
            [ -d "$dir" ] && mount -t tmpfs tmpfs "$dir"
        done
        mkdir "/run/systemd/journald@$namespace.conf.d"
        echo "$config" >"/run/systemd/journald@$namespace.conf.d/sandbox.conf"
        start_journald "$namespace"
        export QEL_JOURNAL_NAMESPACE=$namespace
        QEL_JOURNAL_NAMESPACE_DIR=/run/log/journal/$(cat /etc/machine-id).$namespace
        export QEL_JOURNAL_NAMESPACE_DIR
    fi
    status=0
    QEL_JOURNAL_DIR=/run/log/journal QEL_JOURNAL_SANDBOX=$(readlink /proc/self/ns/mnt) "$@" ||
        status=$?
    exit "$status"
fi

usage() {
    die "usage: $0 [--hostname NAME] [--namespace NS] -- COMMAND [ARGS...]"
}

hostname=
namespace=
while [ $# -gt 0 ]; do
    case "$1" in
        --hostname)
            hostname=${2:?--hostname needs a name}
            shift 2
            ;;
        --namespace)
            namespace=${2:?--namespace needs a name}
            # A part of paths under /run and /etc.
            [[ "$namespace" =~ ^[A-Za-z0-9_-]+$ ]] || die "--namespace takes letters, digits, - and _"
            shift 2
            ;;
        --)
            shift
            break
            ;;
        *) usage ;;
    esac
done
[ $# -gt 0 ] || usage
[ "$(id -u)" -eq 0 ] || die "root is needed for the namespaces"
[ -x "$journald" ] || die "$journald is missing (Debian package systemd)"
exec unshare --mount --uts --propagation private -- "$0" --inside "$hostname" "$namespace" "$@"
