#!/bin/sh
# Installs into a scratch prefix and into a scratch home, then loads what was installed: the
# VST 2 module through the installed corvella-host, and both builds against each other through
# the lilv host with LV2_PATH naming only the installed bundle.
# usage: install_test.sh SOURCE_DIR BUILD_DIR COMPARE_TESTS
set -eu
src=$1
build=$2
compare=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in lib/vst/corvella.so lib/lv2/corvella.lv2/corvella.so lib/lv2/corvella.lv2/manifest.ttl \
    lib/lv2/corvella.lv2/corvella.ttl bin/corvella-host bin/vstbus; do
    [ -f "$tmp/prefix/$f" ] || fail "missing $f"
done
"$tmp/prefix/bin/corvella-host" "$tmp/prefix/lib/vst/corvella.so" --info |
    grep -Fxq "effect name: corvella 9-30-2003" || fail "installed VST 2 module does not load"
"$tmp/prefix/bin/vstbus" list >/dev/null || fail "installed vstbus does not run"
LV2_PATH="$tmp/prefix/lib/lv2" CORVELLA_PLUGIN="$tmp/prefix/lib/vst/corvella.so" "$compare" \
    --gtest_filter='Lv2AgainstVst.*' >/dev/null || fail "installed builds differ or do not load"

HOME="$tmp/home" sh "$src/scripts/install.sh" --user --no-build --build-dir "$build" >/dev/null
for f in .vst/corvella.so .lv2/corvella.lv2/corvella.ttl .local/bin/corvella-host; do
    [ -f "$tmp/home/$f" ] || fail "user install: missing ~/$f"
done
LV2_PATH="$tmp/home/.lv2" CORVELLA_PLUGIN="$tmp/home/.vst/corvella.so" "$compare" \
    --gtest_filter='Lv2AgainstVst.Thru*' >/dev/null || fail "user install does not load"
echo "installed and loaded"
