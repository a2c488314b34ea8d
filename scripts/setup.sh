#!/usr/bin/env bash
# Installs everything the builds and tests need (Debian 12). Idempotent: when every package is
# already there it changes nothing and needs no network. Run it as root, or as a user with sudo.
#
# A package registry caught in mid-sync (an index that does not match its release file, or one
# architecture's security update ahead of the other's) must not stop a setup: a failed
# `apt-get update` is a warning, and an install that cannot be resolved is tried once more
# against the release itself (-t CODENAME) before it fails, naming what cannot be installed.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
    googletest libgtest-dev libbenchmark-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64
    wine wine32 wine64 fonts-wine xvfb xauth x11-xserver-utils
    python3 python3-mido midicsv libsmf-dev
    librtmidi-dev jackd2 libjack-jackd2-dev libasound2-dev
    ardour x42-plugins liblilv-dev lv2-dev lilv-utils sordi
    libfltk1.3-dev libx11-dev libxtst-dev xdotool xclip
    libxcursor-dev libxinerama-dev libxres-dev libpng-dev imagemagick
    libavahi-client-dev avahi-daemon dbus
)

# Installs the missing Debian packages; answers 1, naming what apt cannot install, on failure.
install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    local need_i386=0
    dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
    if [ "${#missing[@]}" -eq 0 ] && [ "$need_i386" -eq 0 ]; then
        echo "setup: all packages present"
        return 0
    fi

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "setup: packages are missing (${missing[*]}); run this as root, or as a user with sudo" >&2
            return 1
        fi
        as_root=(sudo)
    fi

    # wine32 comes from the i386 architecture.
    [ "$need_i386" -eq 0 ] || "${as_root[@]}" dpkg --add-architecture i386
    echo "setup: installing ${missing[*]}"
    if ! "${as_root[@]}" apt-get update -q; then
        echo "setup: warning: apt-get update failed; installing from the package lists as they are" >&2
    fi
    install() {
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "$@"
    }
    install "${missing[@]}" && return 0

    local codename
    codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
    if [ -n "$codename" ]; then
        echo "setup: the install could not be resolved; trying once more against the release ($codename)" >&2
        install -t "$codename" "${missing[@]}" && return 0
    fi
    # Name the packages apt cannot install, one by one (a simulation needs no root).
    local unresolved=()
    for p in "${missing[@]}"; do
        apt-get install -s -q ${codename:+-t "$codename"} "$p" >/dev/null 2>&1 || unresolved+=("$p")
    done
    if [ "${#unresolved[@]}" -eq 0 ]; then
        echo "setup: cannot install the packages above (apt-get said why)" >&2
    else
        echo "setup: cannot install: ${unresolved[*]}" >&2
    fi
    return 1
}

install_packages || exit 1

# The RTP-MIDI interoperability tests' Node peer, pinned by its lock file and offline once
# installed; without node and npm those tests report themselves skipped.
case $0 in */*) here=${0%/*} ;; *) here=. ;; esac
node_dir="$here/../tests/rtpmidi/node"
if command -v npm >/dev/null 2>&1 && [ ! -d "$node_dir/node_modules/rtpmidi" ]; then
    npm ci --prefix "$node_dir" --ignore-scripts --no-audit --no-fund
fi
