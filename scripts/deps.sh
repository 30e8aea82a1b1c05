# Sourced by run.sh, test.sh and tools/pcsc-sandbox.sh: installs the Debian packages a step needs,
# and only those that are missing, saying which; fetches the virtual reader driver vpcd for the
# PC/SC sandbox without installing it. Root is needed for the install alone.

qel_root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Runs a command as root, through sudo when needed.
qel_as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "Root is needed for: $*" >&2
        return 1
    fi
}

qel_package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

qel_need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        qel_package_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    qel_as_root apt-get update -qq || true
    qel_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The sandbox's pcscd loads vpcd from a private unpacked copy of its Debian package. Installing
# the package instead would give the machine's own pcscd two readers that take virtual cards from
# anyone on the network. QEL_VPCD_DRIVER points the sandbox at another copy of the driver.
qel_vpcd_dir=$qel_root_dir/.cache/vpcd
qel_vpcd_default_driver=$qel_vpcd_dir/usr/lib/pcsc/drivers/serial/libifdvpcd.so

qel_vpcd_driver() {
    echo "${QEL_VPCD_DRIVER:-$qel_vpcd_default_driver}"
}

# Downloads PACKAGES (one name, or several separated by spaces) and unpacks them into DIR once,
# checked by FILE inside it; later calls find it there. Nothing is installed: none of their
# services, files or scripts touch the machine.
qel_fetch_unpacked() {
    local packages=$1 dir=$2 file=$3
    [ -e "$dir/$file" ] && return 0
    echo "Fetching $packages into $dir (unpacked there only, not installed)" >&2
    mkdir -p "$(dirname "$dir")" || return 1
    local tmp
    tmp=$(mktemp -d "$dir.new.XXXXXX") || return 1
    # apt drops root for downloads, and its own user cannot write into a private folder of root's.
    local apt=(apt-get -qq)
    [ "$(id -u)" -eq 0 ] && apt+=(-o APT::Sandbox::User=root)
    local names
    read -r -a names <<<"$packages"
    if ! (cd "$tmp" && "${apt[@]}" download "${names[@]}" 2>/dev/null); then
        # A fresh machine has no package lists yet.
        qel_as_root apt-get update -qq || true
        (cd "$tmp" && "${apt[@]}" download "${names[@]}") || {
            rm -rf -- "$tmp"
            echo "Cannot download $packages" >&2
            return 1
        }
    fi
    local package deb
    for package in "${names[@]}"; do
        deb=("$tmp/${package}"_*.deb)
        dpkg-deb -x "${deb[0]}" "$tmp/root" || {
            rm -rf -- "$tmp"
            echo "Cannot unpack ${deb[0]##*/}" >&2
            return 1
        }
    done
    if ! [ -e "$tmp/root/$file" ]; then
        rm -rf -- "$tmp"
        echo "$packages hold no $file" >&2
        return 1
    fi
    # Into place in one rename, so a run started meanwhile sees the whole folder or none; if one
    # was first, its copy stays.
    mv -T "$tmp/root" "$dir" 2>/dev/null || true
    rm -rf -- "$tmp"
    [ -e "$dir/$file" ]
}

qel_fetch_vpcd() {
    qel_fetch_unpacked vsmartcard-vpcd "$qel_vpcd_dir" "${qel_vpcd_default_driver#"$qel_vpcd_dir/"}"
}

# The journal's own transport for the tests of many stations, from a private unpacked copy of
# systemd-journal-remote: installed, its units would join the machine's services.
qel_journal_remote_dir=$qel_root_dir/.cache/journal-remote
qel_journal_remote=$qel_journal_remote_dir/lib/systemd/systemd-journal-remote
qel_journal_upload=$qel_journal_remote_dir/lib/systemd/systemd-journal-upload

qel_fetch_journal_remote() {
    qel_fetch_unpacked systemd-journal-remote "$qel_journal_remote_dir" \
        lib/systemd/systemd-journal-upload
}

# The collector's TLS front in the tests of many stations: systemd-journal-remote as Debian builds
# it checks no client certificate, stunnel4 refuses every station without one of the site's. Its
# library libwrap0 comes along, as the machine need not have it; installed, stunnel4 would add
# services of its own too.
qel_stunnel_dir=$qel_root_dir/.cache/stunnel
qel_stunnel=$qel_stunnel_dir/usr/bin/stunnel4

qel_fetch_stunnel() {
    qel_fetch_unpacked "stunnel4 libwrap0" "$qel_stunnel_dir" usr/bin/stunnel4
}

# The unpacked stunnel4 runs with LD_LIBRARY_PATH=$(qel_stunnel_library_path): the folder of its
# unpacked library, named after the machine's architecture.
qel_stunnel_library_path() {
    local libs=("$qel_stunnel_dir"/usr/lib/*/libwrap.so.0)
    echo "${libs[0]%/*}"
}

# The package test's Debian root is made and booted with tools unpacked privately as well:
# debootstrap is a script that runs from its own folder, and systemd-nspawn comes with the
# libsystemd-shared of its own version, which may be newer than the machine's. Installed,
# systemd-container would upgrade the machine's systemd and add a name service module.
qel_debootstrap_dir=$qel_root_dir/.cache/debootstrap
qel_nspawn_dir=$qel_root_dir/.cache/nspawn

qel_fetch_debootstrap() {
    qel_fetch_unpacked debootstrap "$qel_debootstrap_dir" usr/sbin/debootstrap
}

qel_fetch_nspawn() {
    qel_fetch_unpacked "systemd-container libsystemd-shared" "$qel_nspawn_dir" usr/bin/systemd-nspawn
}

qel_debootstrap() {
    DEBOOTSTRAP_DIR=$qel_debootstrap_dir/usr/share/debootstrap \
        "$qel_debootstrap_dir/usr/sbin/debootstrap" "$@"
}

# The unpacked nspawn's RUNPATH names the machine's folder of libsystemd-shared; the search path
# comes before it.
qel_nspawn() {
    local shared=("$qel_nspawn_dir"/usr/lib/*/systemd)
    LD_LIBRARY_PATH=${shared[0]} "$qel_nspawn_dir/usr/bin/systemd-nspawn" "$@"
}

qel_warn_system_vpcd() {
    qel_package_installed vsmartcard-vpcd || return 0
    cat >&2 <<'WARN'
Warning: the package vsmartcard-vpcd is installed on this machine. It gives the machine's own
PC/SC service (pcscd) two virtual readers that take cards over TCP on 0.0.0.0:35963 and
0.0.0.0:35964: anyone who reaches this machine over the network can put a virtual card into
them. The tests and the demo do not need it (they run a private copy of its driver in a
sandbox) and leave it alone. To remove it, as root:
    apt-get remove vsmartcard-vpcd      (purge also deletes /etc/reader.conf.d/vpcd)
then restart pcscd: a running one keeps the readers.
WARN
}

QEL_BUILD_PACKAGES=(build-essential cmake pkg-config nlohmann-json3-dev qt6-base-dev libgl-dev libpcsclite-dev libpcsclite1 pcscd)
QEL_DEMO_PACKAGES=(libssl-dev iproute2 util-linux procps)
# Building the Debian package (scripts/build-deb.sh), and checking it (the package test).
QEL_PACKAGE_PACKAGES=(dpkg-dev librsvg2-bin)
QEL_PACKAGE_CHECK_PACKAGES=(lintian desktop-file-utils appstream)
# libcrypto++-dev and libbotan-2-dev are bench_des's peers, linked into that benchmark only;
# python3 parses qel_sn's JSON in the tests as a reader of ours would, and checks the manual pages.
QEL_TEST_PACKAGES=(libmicrohttpd12 libcurl4 libgtest-dev libgmock-dev libbenchmark-dev libcrypto++-dev libbotan-2-dev python3
    "${QEL_DEMO_PACKAGES[@]}" "${QEL_PACKAGE_PACKAGES[@]}" "${QEL_PACKAGE_CHECK_PACKAGES[@]}")

# Inside tools/pcsc-sandbox.sh: waits (up to 10 s) until the sandbox's pcscd has taken every card
# out of READER that it took in, by its own log since its last start (a daemon that was restarted
# took nothing out of its readers). A virtual card that has just ended is still in the reader for
# the daemon until its next poll; a card started meanwhile would meet the old one.
qel_wait_reader_empty() {
    local reader=$1 log=${QEL_SANDBOX_PCSCD_LOG:-}
    [ -n "$log" ] && [ -f "$log" ] || return 0
    local _ since
    for _ in $(seq 200); do
        since=$(tac "$log" | sed '/DebugLogSetLevel()/q')
        [ "$(grep -c "Card inserted into $reader\$" <<<"$since")" -le \
            "$(grep -c "Card Removed From $reader\$" <<<"$since")" ] && return 0
        sleep 0.05
    done
    return 1
}
