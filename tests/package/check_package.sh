#!/usr/bin/env bash
# The Debian package from end to end, as root inside tools/pcsc-sandbox.sh (ctest -L package):
# builds it from a Release build, checks what it holds, installs it with apt, reads the virtual
# dongle with both installed programs as a normal user (nobody, with a home of its own), reads
# their lines back from that user's state folder, and purges the package without a trace.
#   tests/package/check_package.sh BUILD_DIR QEL_VCARD
# A machine that has the package installed already is left alone: the test fails instead.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
build=${1:?usage: $0 BUILD_DIR QEL_VCARD}
vcard=${2:?usage: $0 BUILD_DIR QEL_VCARD}

readonly package=qel-sn-reader
readonly app_id=org.qel.SnReader
readonly wait_s=20
readonly readout=$'Searching...\r\nSerial No (S/N): 0A1B2C3D\r\nFirmware version: 010A\r\nError Code: 0x2A\r\nFinished\r\n'

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || fail "root is needed to install the package"
[ -n "${QEL_SANDBOX_PCSCD_PID:-}" ] ||
    fail "run it inside tools/pcsc-sandbox.sh: the installed programs read its virtual dongle"
# The package is one per machine: two test runs at once (two checkouts, or a plain and a
# sanitizer run) would install and purge it under each other. The lock lives in the machine's
# own /run/lock, which every sandbox shares, and goes with the process that holds it.
exec {machine_lock}>/run/lock/qel-sn-reader-package-test.lock
flock -w 1200 "$machine_lock" || fail "another package test has held the machine for 20 minutes"
status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) || status=
if [ -n "$status" ] && [ "$status" != not-installed ]; then
    fail "$package is on this machine already ($status). The test installs and purges it and" \
        "never touches an installation of the user's: remove it first (apt-get purge $package)"
fi

work=$(mktemp -d /tmp/qel-package.XXXXXX)
home=$(mktemp -d /tmp/qel-package-home.XXXXXX)
chown nobody:nogroup "$home"
installed=0
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    # Gone before the next test starts a card of its own: a virtual card still on its way out
    # leaves pcscd's reader in a state the next card's first connection trips over.
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    qel_wait_reader_empty "Virtual PCD 00 00" || echo "the virtual card is still in its reader" >&2
    if [ "$installed" = 1 ]; then
        apt-get purge -y -qq "$package" >/dev/null 2>&1 || echo "could not purge $package" >&2
    fi
    rm -rf -- "$work" "$home"
}
trap cleanup EXIT

# The installed programs run as a user without any rights: nobody, with a private home and
# nothing of root's environment. A command, not a function, so that a program started in the
# background is the process that $! names (setpriv and env each exec the next).
as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --
    env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$home")

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
while read -r dir; do
    grep -q "^$dir" "$work/files" || fail "the package holds the empty folder $dir"
done < <(grep '/$' "$work/listing")
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v '^\./$' | sort | tr '\n' ' ')" = "./control ./md5sums " ] ||
    fail "the package has maintainer scripts or other control files"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libpcsclite1 libsystemd0 libqt6widgets6; do
    [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "pcscd, qt6-wayland" ] || fail "pcscd and qt6-wayland are not recommended"

root=$work/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/$app_id.desktop" ||
    fail "the desktop entry is not valid"
grep -qx "Icon=$app_id" "$root/usr/share/applications/$app_id.desktop" ||
    fail "the desktop entry names another icon"
appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the AppStream metadata is not valid"
rsvg-convert "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg" >/dev/null ||
    fail "the SVG icon cannot be drawn"
for size in 16 22 24 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
    # The signature, then IHDR's width and height as 32-bit big-endian numbers.
    read -r -a header <<<"$(od -An -tu1 -N24 "$png" | tr '\n' ' ')"
    [ "${header[*]:0:8}" = "137 80 78 71 13 10 26 10" ] || fail "$png is no PNG"
    width=$(((header[16] << 24) + (header[17] << 16) + (header[18] << 8) + header[19]))
    height=$(((header[20] << 24) + (header[21] << 16) + (header[22] << 8) + header[23]))
    [ "$width x $height" = "$size x $size" ] || fail "$png is $width x $height, not $size x $size"
done
for page in qel_sn qel_sn_reader; do
    man_page=$root/usr/share/man/man1/$page.1.gz
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
exposure=$(systemd-analyze security --offline=true "$root$system_units/qel-sn-watch.service" 2>&1 |
    sed -n 's/^.*Overall exposure level for qel-sn-watch.service: \([0-9.]*\).*$/\1/p')
echo "exposure of qel-sn-watch.service: $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 1.5) }' ||
    fail "qel-sn-watch.service is exposed more than 1.5: '$exposure'"
# The catalog compiles, and explains each of the five entries, in a database of the unpacked
# tree's own.
journalctl --root="$root" --update-catalog || fail "the journal catalog does not compile"
for id in c0e28d9f6d3f4d8ebca51253482f1016 d5f482716e10495db6a35f109f0e8b11 \
    535d8defa9924d2285e35354c8bb04a5 d66233c36f524ab18a1a1131fa2f0bdb 98d14d3b808b4a3a8c38a5c82e8bfcde; do
    journalctl --root="$root" --list-catalog | grep -q "^$id qel-sn-reader: " ||
        fail "the catalog does not explain $id"
done
rm -rf "${root:?}/var"
lintian --fail-on error "$deb" || fail "lintian finds errors"

step "install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=60 "$deb" >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    fail "apt-get cannot install the package"
}
installed=1
dpkg -L "$package" >"$work/owned"
[ "$("${as_user[@]}" /usr/bin/qel_sn --version)" = "qel_sn 1.1" ] || fail "qel_sn --version"
# Installed, the units name a program and a manual page that are there.
systemd-analyze verify "$system_units/qel-sn-watch.service" ||
    fail "systemd-analyze verify refuses the system unit"
runtime=$(mktemp -d /tmp/qel-package-runtime.XXXXXX)
XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user "$user_units/qel-sn-watch.service" ||
    fail "systemd-analyze verify refuses the user unit"
rm -rf "$runtime"

step "qel_sn as $("${as_user[@]}" id -un)"
state=$home/.local/state/qel-sn-reader
for program in qel_sn qel_sn_reader; do
    help=$("${as_user[@]}" "/usr/bin/$program" --help)
    grep -qxF "  $state/$program.log" <<<"$help" ||
        fail "$program --help does not name $state/$program.log: $help"
done
# The watch reads the dongle once the card is in, whenever pcscd notices it.
"${as_user[@]}" /usr/bin/qel_sn --watch >"$work/watch.out" 2>"$work/watch.err" &
watch=$!
pids+=("$watch")
"$vcard" &
pids+=("$!")
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

step "the window, off screen, as $("${as_user[@]}" id -un)"
# --watch presses "Get Info" at once for the dongle already in its reader.
"${as_user[@]}" env QT_QPA_PLATFORM=offscreen /usr/bin/qel_sn_reader --watch >"$work/window.log" 2>&1 &
window=$!
pids+=("$window")
wait_for_text "$state/qel_sn_reader.log" "Finished" ||
    fail "the window did not read the dongle: $(cat "$work/window.log")"
kill -TERM "$window"
wait "$window" 2>/dev/null || true

step "the log files in the user's state folder"
for made in "$home/.local" "$home/.local/state" "$state"; do
    [ "$(stat -c '%a %U' "$made")" = "700 nobody" ] ||
        fail "$made is $(stat -c '%a %U' "$made"), not 700 nobody"
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

step "purge"
while read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then echo "$path"; fi
done <"$work/owned" >"$work/owned-dirs"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=60 "$package" \
    >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log" >&2
    fail "apt-get cannot purge the package"
}
installed=0
status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) || status=
[ -z "$status" ] || [ "$status" = not-installed ] || fail "dpkg still knows $package: $status"
left=0
while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    # /lib, which the units' folder lies under, is the merged /usr's link to /usr/lib: the
    # system's, and no link of ours.
    [ -L "$path" ] && [ -d "$path" ] && [ "$(realpath "$path")" = "/usr$path" ] && continue
    if grep -qxF "$path" "$work/owned-dirs" && dpkg-query -S "$path" >/dev/null 2>&1; then
        continue # a folder other packages own too
    fi
    echo "left behind: $path" >&2
    left=1
done <"$work/owned"
[ "$left" = 0 ] || fail "the purge left files of the package behind"
echo "ok: built, checked, installed, read the dongle as nobody from both programs, purged"
