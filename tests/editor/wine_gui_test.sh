#!/bin/sh
# Runs the editor test host under Wine on a virtual X display, then checks the pictures:
# 344 x 305 and not blank (a PNG of each is written beside the BMP).
# usage: wine_gui_test.sh HOST.exe corvella.dll OUTDIR
set -eu
here=$(dirname "$0")
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "xvfb-run is not installed: skipping the editor window test"
    exit 77
fi
rm -rf "$3"
mkdir -p "$3"
out=$(winepath -w "$3" 2>/dev/null || echo "Z:$3")
xvfb-run -a -s "-screen 0 800x600x24" "$here/../wine/wine-run" "$1" "$2" "$out"
/usr/bin/python3 "$here/check_captures.py" "$3" tab1-input tab2-vst2midi tab3-replace \
    tab4-filter tab5-output options
