#!/usr/bin/env bash
# Installs everything the builds and tests need (Debian 12). Idempotent: when every package is
# already there it changes nothing and needs no network. Run as root (or with sudo available).
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
    libavahi-client-dev
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -eq 0 ]; then
    echo "setup: all packages present"
else
    echo "setup: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The RTP-MIDI interoperability tests' Node peer, pinned by its lock file; without node and
# npm those tests report themselves skipped.
node_dir="$(dirname "$0")/../tests/rtpmidi/node"
if command -v npm >/dev/null 2>&1; then
    if [ ! -d "$node_dir/node_modules/rtpmidi" ]; then
        npm ci --prefix "$node_dir" --ignore-scripts --no-audit --no-fund
    fi
fi
