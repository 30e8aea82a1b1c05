#!/usr/bin/env bash
# The Debian package from end to end, as root (ctest -L package): builds it from a Release build
# and checks what it holds; then lives its life in a booted Debian root of this machine's release
# (tests/package/make_root.sh makes it once), never on the machine itself. There it is installed,
# the watch enabled as an administrator does and booted, the virtual dongle read into the journal
# by the watch and with both programs by a normal user, who then enables a watch of their own; a
# package of a higher version upgrades it, which restarts the running watches and leaves stopped
# ones stopped; it is removed, which stops the watches first, and purged without a trace outside
# the user's home.
#   tests/package/check_package.sh BUILD_DIR QEL_VCARD
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
build=${1:?usage: $0 BUILD_DIR QEL_VCARD}
vcard=${2:?usage: $0 BUILD_DIR QEL_VCARD}

readonly package=qel-sn-reader
readonly app_id=org.qel.SnReader
readonly unit=qel-sn-watch.service
readonly user=station
readonly wait_s=30

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || fail "root is needed to mount and boot the Debian root"
# The root's mounts live in a mount namespace of the test's own, and go with it.
if [ -z "${QEL_PACKAGE_TEST_MOUNTS:-}" ]; then
    exec env QEL_PACKAGE_TEST_MOUNTS=1 unshare --mount --propagation private -- "$0" "$@"
fi

work=$(mktemp -d /tmp/qel-package.XXXXXX)
nspawn_pid=
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    # SIGTERM shuts the container down as a power button would.
    if [ -n "$nspawn_pid" ]; then
        kill -TERM "$nspawn_pid" 2>/dev/null || true
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    umount "$work/root" 2>/dev/null || true
    rm -rf -- "$work"
}
trap cleanup EXIT

step "build"
if ! scripts/build-deb.sh "$build" >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    fail "scripts/build-deb.sh failed"
fi
deb=$(tail -n 1 "$work/build.log")
echo "$deb"

step "contents"
expected_files="/usr/bin/qel_sn
/usr/bin/qel_sn_reader
/usr/share/applications/$app_id.desktop
/usr/share/doc/$package/changelog.Debian.gz
/usr/share/doc/$package/copyright"
for size in 16 22 24 32 48 64 128 256; do
    expected_files+=$'\n'"/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
done
system_units=$(pkg-config --variable=systemdsystemunitdir systemd)
user_units=$(pkg-config --variable=systemduserunitdir systemd)
catalogs=$(pkg-config --variable=catalogdir systemd)
expected_files+="
$system_units/qel-sn-watch.service
$user_units/qel-sn-watch.service
$catalogs/qel-sn-reader.catalog
/usr/share/icons/hicolor/scalable/apps/$app_id.svg
/usr/share/man/man1/qel_sn.1.gz
/usr/share/man/man1/qel_sn_reader.1.gz
/usr/share/metainfo/$app_id.metainfo.xml"
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/listing"
grep -v '/$' "$work/listing" | sort >"$work/files"
diff -u <(sort <<<"$expected_files") "$work/files" ||
    fail "the package holds other files than these (+: not expected, -: missing)"
# One folder is empty on purpose: the station watch's working folder, where an administrator puts
# a KSCard.ini.
while read -r dir; do
    [[ /etc/qel-sn-reader/ == "$dir"* ]] && continue
    grep -q "^$dir" "$work/files" || fail "the package holds the empty folder $dir"
done < <(grep '/$' "$work/listing")
grep -qx /etc/qel-sn-reader/ "$work/listing" || fail "the package lacks the folder /etc/qel-sn-reader"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v '^\./$' | sort | tr '\n' ' ')" = \
    "./control ./md5sums ./postinst ./postrm ./prerm " ] ||
    fail "the package has other control files than its control, md5sums and maintainer scripts"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libpcsclite1 libsystemd0 libqt6widgets6; do
    [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "pcscd, qt6-wayland" ] || fail "pcscd and qt6-wayland are not recommended"

unpacked=$work/unpacked
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/$app_id.desktop" ||
    fail "the desktop entry is not valid"
grep -qx "Icon=$app_id" "$unpacked/usr/share/applications/$app_id.desktop" ||
    fail "the desktop entry names another icon"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the AppStream metadata is not valid"
rsvg-convert "$unpacked/usr/share/icons/hicolor/scalable/apps/$app_id.svg" >/dev/null ||
    fail "the SVG icon cannot be drawn"
for size in 16 22 24 32 48 64 128 256; do
    png=$unpacked/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
    # The signature, then IHDR's width and height as 32-bit big-endian numbers.
    read -r -a header <<<"$(od -An -tu1 -N24 "$png" | tr '\n' ' ')"
    [ "${header[*]:0:8}" = "137 80 78 71 13 10 26 10" ] || fail "$png is no PNG"
    width=$(((header[16] << 24) + (header[17] << 16) + (header[18] << 8) + header[19]))
    height=$(((header[20] << 24) + (header[21] << 16) + (header[22] << 8) + header[23]))
    [ "$width x $height" = "$size x $size" ] || fail "$png is $width x $height, not $size x $size"
done
for page in qel_sn qel_sn_reader; do
    man_page=$unpacked/usr/share/man/man1/$page.1.gz
    gzip -t "$man_page" || fail "$page.1.gz is not gzip"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 "$man_page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page(1) gives warnings: $warnings"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$man_page" 2>/dev/null | col -b)
    for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" FILES DIAGNOSTICS; do
        grep -qx "$section" <<<"$text" || fail "$page(1) has no section $section"
    done
    grep -qF "\$XDG_STATE_HOME/qel-sn-reader/$page.log" <<<"$text" ||
        fail "$page(1) does not say where the log file of an installed program lies"
done
# The watch's service, hardened: its exposure as systemd rates it, at most 1.5.
exposure=$(systemd-analyze security --offline=true "$unpacked$system_units/qel-sn-watch.service" 2>&1 |
    sed -n 's/^.*Overall exposure level for qel-sn-watch.service: \([0-9.]*\).*$/\1/p')
echo "exposure of qel-sn-watch.service: $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' ||
    fail "qel-sn-watch.service is exposed more than 1.5: '$exposure'"
# The catalog compiles, and explains each message id the program gives its entries (read from
# the one place they are declared), in a database of the unpacked tree's own.
mapfile -t message_ids < <(sed -n 's/^inline constexpr const char\* kJournalId[A-Za-z]* = "\([0-9a-f]\{32\}\)";$/\1/p' \
    cli/journal_records.h)
[ "${#message_ids[@]}" -gt 0 ] || fail "no message ids found in cli/journal_records.h"
journalctl --root="$unpacked" --update-catalog || fail "the journal catalog does not compile"
for id in "${message_ids[@]}"; do
    journalctl --root="$unpacked" --list-catalog | grep -q "^$id qel-sn-reader: " ||
        fail "the catalog does not explain $id"
done
rm -rf "${unpacked:?}/var"
lintian --fail-on error "$deb" || fail "lintian finds errors"


step "a package of a higher version"
# The same files under a higher version, each with a new time: dpkg upgrades to it as to any
# rebuild, and systemd sees a changed unit file until it reloads.
rm -rf "${unpacked:?}"
dpkg-deb -R "$deb" "$unpacked"
version=$(dpkg-deb -f "$deb" Version)
sed -i "s/^Version: .*/Version: $version+1/" "$unpacked/DEBIAN/control"
sleep 1 # a newer time than the first package's, to the second
find "$unpacked" -path "$unpacked/DEBIAN" -prune -o -exec touch -h {} +
newer=$work/${package}_$version+1.deb
dpkg-deb --root-owner-group -b "$unpacked" "$newer" >/dev/null
dpkg --compare-versions "$(dpkg-deb -f "$newer" Version)" gt "$version" ||
    fail "$newer is not newer than $version"

step "the Debian root"
cached_root=$(tests/package/make_root.sh) ||
    fail "no Debian root: tests/package/make_root.sh needs the network once (outside the PC/SC sandbox)"
# A copy per run, on write: the cached root is never changed.
root=$work/root
mkdir -p "$work/upper" "$work/overlay-work" "$root"
mount -t overlay qel-package-root \
    -o "lowerdir=$cached_root,upperdir=$work/upper,workdir=$work/overlay-work" "$root"
# The container's pcscd loads the private vpcd driver and opens its readers on the container's own
# loopback, as the PC/SC sandbox's does.
if [ -z "${QEL_VPCD_DRIVER:-}" ]; then
    qel_fetch_vpcd || fail "no vpcd driver"
fi
install -D -m 0644 "$(qel_vpcd_driver)" "$root/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
cat >"$root/etc/reader.conf.d/vpcd" <<EOF_CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    0x8C7B
EOF_CONF
tests_dir=/root/qel-test
install -D -m 0755 tests/package/read_as_user.sh "$root$tests_dir/read_as_user.sh"
install -m 0644 "$deb" "$newer" "$root$tests_dir/"
chroot "$root" useradd --create-home --shell /bin/bash "$user"

# What the package's life leaves: every path of ours outside the users' homes, the proc and sys
# trees and the test's own folder.
ours_on() {
    chroot "$root" find / -xdev \( -path /proc -o -path /sys -o -path /home -o -path "$tests_dir" \) \
        -prune -o \( -name '*qel*' -o -name '*QEL*' \) -print | sort
}
ours_on >"$work/ours-before-install"
[ ! -s "$work/ours-before-install" ] || fail "the root holds paths of ours before the install: $(cat "$work/ours-before-install")"

step "install into the root, enable as an administrator"
apt_get=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive
    apt-get -y -qq --no-install-recommends -o Dpkg::Use-Pty=0)
mount -t proc proc "$root/proc"
chroot "$root" "${apt_get[@]}" install "$tests_dir/${deb##*/}" >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    fail "apt-get cannot install the package into the root"
}
umount "$root/proc"
chroot "$root" dpkg -L "$package" >"$work/owned"
links=$(find "$root/etc/systemd" -name "$unit")
[ -z "$links" ] || fail "installing enabled the watch: $links"
systemctl --root="$root" enable "$unit"

step "boot"
# nspawn keeps its state in /run/systemd/nspawn and wants a tmpfs there; one over the whole of
# /run/systemd, in this mount namespace, leaves the machine's own as it is.
mount -t tmpfs qel-package-run "/run/systemd" 2>/dev/null || {
    mkdir -p /run/systemd
    mount -t tmpfs qel-package-run /run/systemd
}
mkdir /run/systemd/nspawn
shared_libs=("$qel_nspawn_dir"/usr/lib/*/systemd)
env LD_LIBRARY_PATH="${shared_libs[0]}" "$qel_nspawn_dir/usr/bin/systemd-nspawn" -D "$root" -b \
    --private-network --register=no --keep-unit --console=passive >"$work/console.log" 2>&1 &
nspawn_pid=$!
# The container's first process is nspawn's child once it runs the root's manager.
init=
for _ in $(seq $((wait_s * 10))); do
    init=$(pgrep -P "$nspawn_pid" -x systemd | head -n 1) && [ -n "$init" ] && break
    sleep 0.1
done
[ -n "$init" ] || fail "the container did not start: $(cat "$work/console.log")"
# Commands inside, with nothing of this test's environment.
inside() {
    nsenter -t "$init" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
booted=
for _ in $(seq $((wait_s * 10))); do
    booted=$(inside systemctl is-system-running 2>/dev/null) || true
    case "$booted" in running | degraded) break ;; esac
    sleep 0.1
done
case "$booted" in
    running | degraded) echo "the root's manager is $booted" ;;
    *) fail "the root did not boot ($booted): $(cat "$work/console.log")" ;;
esac
inside systemctl --failed --no-legend --no-pager

property() { inside systemctl show -p "$1" --value "$unit"; }
wait_for_property() {
    local name=$1 value=$2
    for _ in $(seq $((wait_s * 10))); do
        [ "$(property "$name")" = "$value" ] && return 0
        sleep 0.1
    done
    return 1
}
# The watch's entries: in its own journal namespace when the unit names one.
namespace=$(property LogNamespace)
journal=(journalctl ${namespace:+--namespace="$namespace"} --no-pager)
readouts_of() {
    inside "${journal[@]}" -o cat QEL_SERIAL=0A1B2C3D "_PID=$1" | grep -c '^Dongle 0A1B2C3D read in "Virtual PCD 00 00"' || true
}
wait_for_readout() {
    for _ in $(seq $((wait_s * 10))); do
        [ "$(readouts_of "$1")" -ge 1 ] && return 0
        sleep 0.1
    done
    return 1
}

step "the watch reads the dongle into the journal${namespace:+ (namespace $namespace)}"
wait_for_property ActiveState active || fail "the enabled watch is $(property ActiveState) after boot"
first_pid=$(property MainPID)
# vpcd listens once pcscd, started for the watch, has loaded it: port 35963 (8C7B), state LISTEN.
for _ in $(seq $((wait_s * 10))); do
    inside cat /proc/net/tcp | awk '$2 ~ /:8C7B$/ && $4 == "0A" { found = 1 } END { exit !found }' && break
    sleep 0.1
done
nsenter -t "$init" -n -- "$vcard" >"$work/vcard.log" 2>&1 &
pids+=("$!")
wait_for_readout "$first_pid" || fail "the watch (PID $first_pid) did not read the dongle into the journal:
$(inside "${journal[@]}" -u "$unit")"
inside "${journal[@]}" -o cat QEL_SERIAL=0A1B2C3D

step "a user reads it with both programs"
inside systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify refuses the system unit"
inside sh -c "XDG_RUNTIME_DIR=\$(mktemp -d) systemd-analyze verify --man=no --user $user_units/$unit" ||
    fail "systemd-analyze verify refuses the user unit"
inside bash "$tests_dir/read_as_user.sh" "$user" || fail "the user's readouts failed"

step "a card that is not the dongle: one entry, with its hint"
# systemd gives the watch's standard error to the journal too: what is an entry already (the
# hint) must not come a second time as a line of its own.
entries_of() { inside "${journal[@]}" -o cat "_PID=$first_pid" "$@" | grep -c . || true; }
before=$(entries_of)
nsenter -t "$init" -n -- "$vcard" --port 35964 --no-applet >"$work/vcard2.log" 2>&1 &
other_card=$!
pids+=("$other_card")
for _ in $(seq $((wait_s * 10))); do
    [ "$(entries_of QEL_OUTCOME=not_found)" -ge 1 ] && break
    sleep 0.1
done
sleep 1
inside "${journal[@]}" -o verbose "_PID=$first_pid" QEL_OUTCOME=not_found
[ "$(entries_of QEL_OUTCOME=not_found)" -eq 1 ] || fail "the other card gave no not-found entry"
[ $(($(entries_of) - before)) -eq 1 ] ||
    fail "one failed readout gave $(($(entries_of) - before)) entries: $(inside "${journal[@]}" "_PID=$first_pid")"
inside "${journal[@]}" -o verbose "_PID=$first_pid" QEL_OUTCOME=not_found |
    grep -q 'QEL_HINT=The card in "Virtual PCD 00 01" is not a QEL dongle' ||
    fail "the not-found entry carries no hint"
kill -TERM "$other_card"
wait "$other_card" 2>/dev/null || true

step "$user enables a watch of their own"
# A login's manager, kept without a session.
inside loginctl enable-linger "$user"
user_manager=user@$(inside id -u "$user").service
for _ in $(seq $((wait_s * 10))); do
    [ "$(inside systemctl show -p ActiveState --value "$user_manager")" = active ] && break
    sleep 0.1
done
as_user_manager=(runuser -u "$user" -- env "XDG_RUNTIME_DIR=/run/user/$(inside id -u "$user")" systemctl --user)
user_property() { inside "${as_user_manager[@]}" show -p "$1" --value "$unit"; }
inside "${as_user_manager[@]}" enable --now "$unit" || fail "$user cannot enable a watch of their own"
[ "$(user_property ActiveState)" = active ] || fail "$user's watch is $(user_property ActiveState)"
first_user_pid=$(user_property MainPID)

step "upgrade to $version+1 while the watch runs"
unit_file=$(property FragmentPath)
inside "${apt_get[@]}" install "$tests_dir/${newer##*/}" >"$work/upgrade.log" 2>&1 || {
    cat "$work/upgrade.log" >&2
    fail "apt-get cannot upgrade the package"
}
[ "$(inside dpkg-query -W -f='${Version}' "$package")" = "$version+1" ] || fail "the upgrade did not take"
# The unit file is newer than the manager's copy of it: only a reload makes them the same again.
[ "$(property NeedDaemonReload)" = no ] || fail "the upgrade did not reload the manager: $unit_file changed"
wait_for_property ActiveState active || fail "the watch is $(property ActiveState) after the upgrade"
second_pid=$(property MainPID)
echo "the watch's PID: $first_pid before the upgrade, $second_pid after"
[ "$second_pid" != "$first_pid" ] || fail "the upgrade did not restart the watch"
program=$(inside readlink "/proc/$second_pid/exe")
[ "$program" = /usr/bin/qel_sn ] || fail "the restarted watch runs $program"
wait_for_readout "$second_pid" || fail "the restarted watch (PID $second_pid) did not read the dongle"
second_user_pid=$(user_property MainPID)
echo "$user's watch's PID: $first_user_pid before the upgrade, $second_user_pid after"
[ "$second_user_pid" != "$first_user_pid" ] && [ "$second_user_pid" != 0 ] ||
    fail "the upgrade did not restart $user's watch"
[ "$(user_property NeedDaemonReload)" = no ] || fail "the upgrade did not reload $user's manager"

step "upgrade again while the watches are stopped"
inside systemctl stop "$unit"
inside "${as_user_manager[@]}" stop "$unit"
inside "${apt_get[@]}" install --reinstall "$tests_dir/${newer##*/}" >"$work/reinstall.log" 2>&1 || {
    cat "$work/reinstall.log" >&2
    fail "apt-get cannot install the package again"
}
[ "$(property ActiveState)" = inactive ] || fail "the upgrade started a stopped watch: $(property ActiveState)"
[ "$(user_property ActiveState)" = inactive ] ||
    fail "the upgrade started $user's stopped watch: $(user_property ActiveState)"

step "remove while the watches run"
inside systemctl start "$unit"
inside "${as_user_manager[@]}" start "$unit"
wait_for_property ActiveState active || fail "the watch does not start again"
third_pid=$(property MainPID)
third_user_pid=$(user_property MainPID)
echo "-- ours while installed, the watch having run:"
ours_on | tee "$work/ours-installed"
catalog_entries() { inside journalctl --list-catalog | grep -c ' qel-sn-reader: ' || true; }
echo "catalog entries of ours: $(catalog_entries)"
[ "$(catalog_entries)" -eq "${#message_ids[@]}" ] ||
    fail "the installed catalog has not ${#message_ids[@]} entries of ours"
inside "${apt_get[@]}" remove "$package" >"$work/remove.log" 2>&1 || {
    cat "$work/remove.log" >&2
    fail "apt-get cannot remove the package"
}
# Stopped before its program went, and forgotten by the manager, which reloaded.
inside test ! -e "/proc/$third_pid" || fail "the watch (PID $third_pid) still runs after the removal"
inside test ! -e "/proc/$third_user_pid" ||
    fail "$user's watch (PID $third_user_pid) still runs after the removal"
[ "$(property ActiveState)" = inactive ] || fail "the watch is $(property ActiveState) after the removal"
[ "$(property LoadState)" = not-found ] || fail "the manager still has the removed unit: $(property LoadState)"
[ "$(user_property LoadState)" = not-found ] ||
    fail "$user's manager still has the removed unit: $(user_property LoadState)"
[ "$(catalog_entries)" -eq 0 ] || fail "the removal left $(catalog_entries) catalog entries"
echo "-- ours after the removal:"
ours_on

step "purge"
inside "${apt_get[@]}" purge "$package" >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log" >&2
    fail "apt-get cannot purge the package"
}
echo "-- ours after the purge:"
ours_on | tee "$work/ours-purged"
status=$(inside dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) || status=
[ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg still knows $package: $status"
# The journal's files are the station's records of its readouts and outlive the package.
left=$(grep -v '^/var/log/journal/' "$work/ours-purged" || true)
[ -z "$left" ] || fail "the purge left behind: $left"
while read -r path; do
    [ -e "$root$path" ] || [ -L "$root$path" ] || continue
    [ -d "$root$path" ] && [ ! -L "$root$path" ] && chroot "$root" dpkg-query -S "$path" >/dev/null 2>&1 &&
        continue # a folder other packages own too
    # /lib, which the units' folder lies under, is the merged /usr's link to /usr/lib.
    [ -L "$root$path" ] && [ -d "$root$path" ] && continue
    fail "the purge left a file of the package: $path"
done <"$work/owned"
# A user's own files are theirs.
home_state=/home/$user/.local/state/qel-sn-reader
inside test -s "$home_state/qel_sn.log" || fail "the purge took $user's $home_state/qel_sn.log"
# The user's watch logs where the window does, on this systemd too (whose StateDirectory= of a
# user unit would lie under ~/.config).
inside test ! -e "/home/$user/.config/qel-sn-reader" || fail "$user's watch logged under ~/.config"
echo "-- left in $user's home:"
inside find "/home/$user" -path "*qel*" | sort
echo "ok: built, checked; installed, enabled, booted, read, upgraded running and stopped, removed and purged in a Debian root"
