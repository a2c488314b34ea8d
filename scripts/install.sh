#!/bin/sh
# Builds (linux preset) and installs Corvella: the VST 2 plug-in, the LV2 bundle, corvella-host
# and vstbus.
#   scripts/install.sh                  system-wide under /usr/local (lib/vst, lib/lv2, bin)
#   scripts/install.sh --prefix DIR     system-wide under DIR
#   scripts/install.sh --user           ~/.vst, ~/.lv2 and ~/.local/bin for this user only
# --no-build installs what the build folder (build/linux, or --build-dir DIR) holds as it is.
set -eu
cd "$(dirname "$0")/.."
prefix=/usr/local
user=0
build=1
dir=build/linux
while [ $# -gt 0 ]; do
    case $1 in
        --prefix) prefix=$2; shift 2 ;;
        --user) user=1; shift ;;
        --no-build) build=0; shift ;;
        --build-dir) dir=$2; shift 2 ;;
        *) echo "usage: $0 [--prefix DIR | --user] [--no-build] [--build-dir DIR]" >&2; exit 2 ;;
    esac
done
if [ "$build" = 1 ]; then
    cmake --preset linux >/dev/null
    cmake --build --preset linux --target corvella corvella_lv2 corvella-host vstbus
fi
if [ "$user" = 0 ]; then
    cmake --install "$dir" --prefix "$prefix"
    exit 0
fi
# The user's folders are not one prefix: install into a scratch prefix, then move each part.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$dir" --prefix "$stage" >/dev/null
mkdir -p "$HOME/.vst" "$HOME/.lv2" "$HOME/.local/bin"
cp "$stage/lib/vst/corvella.so" "$HOME/.vst/"
rm -rf "$HOME/.lv2/corvella.lv2"
cp -R "$stage/lib/lv2/corvella.lv2" "$HOME/.lv2/"
cp "$stage/bin/corvella-host" "$stage/bin/vstbus" "$HOME/.local/bin/"
echo "Installed: $HOME/.vst/corvella.so, $HOME/.lv2/corvella.lv2, $HOME/.local/bin/{corvella-host,vstbus}"
