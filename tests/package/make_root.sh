#!/usr/bin/env bash
# Makes the Debian root that the package test boots, once: a minimal system of this machine's
# own release with systemd, pcscd and the libraries the package depends on, kept in
# .cache/debian-root/root and reused while its recipe stays the same. Needs root and the
# network (debootstrap fetches from the mirror apt's sources name), so test.sh calls it before
# the PC/SC sandbox, which has no network; a run finds the root there and prints its path.
#   tests/package/make_root.sh
# QEL_DEBIAN_MIRROR names another mirror. The root is never installed on or booted by this
# script; the test works on a copy of it.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh

fail() {
    echo "make_root: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "root is needed for debootstrap"
# shellcheck source=/dev/null
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$suite" ] || fail "/etc/os-release names no release (VERSION_CODENAME)"
mirror=${QEL_DEBIAN_MIRROR:-$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' 2>/dev/null |
    awk -v suite="$suite" '$2 == suite && $3 == "deb" { print $1; exit }')}
mirror=${mirror:-http://deb.debian.org/debian/}
# What the package needs to start and read (its dependencies and the recommended pcscd), a
# manager to boot with the users' managers and buses that a desktop's login gets, and the
# window's off-screen platform. debootstrap resolves their own dependencies.
includes=systemd,systemd-sysv,dbus,libpam-systemd,dbus-user-session,pcscd,libpcsclite1,libsystemd0,libqt6widgets6,qt6-qpa-plugins
recipe="$suite --variant=minbase --include=$includes"

cache=$qel_root_dir/.cache/debian-root
mkdir -p "$cache"
exec {lock}>"$cache/lock"
# Two runs at once make it once: the second waits for the first (debootstrap takes minutes).
flock -w 1800 "$lock" || fail "another run has made the root for 30 minutes"
# systemd-nspawn, which boots the root, comes with it.
qel_fetch_nspawn || fail "cannot fetch systemd-nspawn"
if [ -d "$cache/root" ] && [ "$(cat "$cache/stamp" 2>/dev/null)" = "$recipe" ]; then
    echo "$cache/root"
    exit 0
fi

qel_fetch_debootstrap || fail "cannot fetch debootstrap"
rm -rf -- "$cache/root" "$cache/stamp" "$cache"/root.new.*
new=$(mktemp -d "$cache/root.new.XXXXXX")
trap 'rm -rf -- "$new"' EXIT
echo "make_root: debootstrap $recipe from $mirror (some minutes)" >&2
start=$SECONDS
# shellcheck disable=SC2086 # the recipe's words are debootstrap's arguments
if ! qel_debootstrap --variant=minbase --include=$includes "$suite" "$new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1; then
    tail -n 20 "$cache/debootstrap.log" >&2
    fail "debootstrap failed; its log: $cache/debootstrap.log"
fi
# The downloaded packages are installed; the cache need not keep them twice.
rm -f "$new"/var/cache/apt/archives/*.deb
echo "make_root: made in $((SECONDS - start)) s" >&2
mv -T "$new" "$cache/root"
trap - EXIT
echo "$recipe" >"$cache/stamp"
echo "$cache/root"
