# Sourced by run.sh and test.sh: installs the Debian packages a step needs, and only those that
# are missing, saying which. Root is needed for the install alone.

qel_need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Root is needed to install: ${missing[*]}" >&2; return 1; }
        sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq || true
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

QEL_BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libgl-dev libpcsclite-dev libpcsclite1 pcscd)
QEL_DEMO_PACKAGES=(libssl-dev vsmartcard-vpcd iproute2 util-linux procps)
QEL_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev "${QEL_DEMO_PACKAGES[@]}")
