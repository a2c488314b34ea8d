#!/bin/sh
# A real Linux host scans the plug-in: Ardour's VST 2 scanner must load it and report its
# identity and pin counts. Skips (exit 77) where Ardour is not installed.
set -u
plugin=$1
scanner=$(ls /usr/lib/ardour*/ardour-vst-scanner 2>/dev/null | tail -n 1)
if [ -z "$scanner" ]; then
    echo "SKIP: Ardour's ardour-vst-scanner is not installed (Debian package ardour)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$plugin" "$work/corvella.so"
out=$(HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache \
      LD_LIBRARY_PATH=$(dirname "$scanner") "$scanner" -f -v "$work/corvella.so" 2>&1)
rc=$?
echo "$out"
[ "$rc" -eq 0 ] || { echo "FAIL: scanner exited with $rc"; exit 1; }
for want in 'name="corvella 9-30-2003"' 'creator="Quobel"' 'id="1129469516"' 'n_inputs="0"' \
    'n_outputs="1"' 'is_instrument="1"' 'has_editor="1"'; do
    printf '%s\n' "$out" | grep -q "<VST2Info .*$want" || { echo "FAIL: no $want"; exit 1; }
done
echo ok
