# Installs the Debian packages given as arguments that are not installed yet: with apt-get when
# run as root, else through sudo. Sourced by the run and test commands.
install_missing_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "Installing Debian packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(g++ cmake make pkg-config libsdl1.2-dev libpng-dev)
