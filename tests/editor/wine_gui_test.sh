#!/bin/sh
# Runs the editor test host under Wine on a virtual X display, then checks the pictures:
# 344 x 305 and not blank (a PNG of each is written beside the BMP). The run gets a Wine
# prefix of its own, started on that display: a Wine session started without a display
# cannot make windows.
# usage: wine_gui_test.sh HOST.exe corvella.dll OUTDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "xvfb-run is not installed: skipping the editor window test"
    exit 77
fi
rm -rf "$3"
mkdir -p "$3"
prefix=$(mktemp -d /tmp/corvella-editor-wine.XXXXXX)
trap 'WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"' EXIT
out="Z:$(printf '%s' "$3" | tr / '\\\\')"
# The host's own checks decide too: its status is kept past the filter of Wine's noise.
WINEPREFIX=$prefix xvfb-run -a -s "-screen 0 800x600x24" sh -c '
    "$0/../wine/wine-run" wineboot -i >/dev/null 2>&1
    "$0/../wine/wine-run" "$1" "$2" "$3"
    echo $? > "$4/host-status"
    wineserver -w' "$here" "$1" "$2" "$out" "$3" 2>&1 | grep -v '^ALSA lib' || true
status=0
/usr/bin/python3 "$here/check_captures.py" "$3" tab1-input tab2-vst2midi tab3-replace \
    tab4-filter tab5-output options || status=1
[ "$(cat "$3/host-status" 2>/dev/null)" = 0 ] || { echo "FAIL: the test host reported failures"; exit 1; }
exit $status
