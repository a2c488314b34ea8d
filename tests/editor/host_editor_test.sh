#!/bin/sh
# corvella-host --editor on the virtual display that x11_gui_test.sh starts: --screenshot saves
# the five tabs and the options dialog at their sizes and not blank, and Ctrl+C (SIGINT) closes
# the window and ends the host cleanly.
# usage: host_editor_test.sh corvella-host corvella.so OUTDIR
set -eu
host=$1
plugin=$2
out=$3
rm -rf "$out"
mkdir -p "$out"
"$host" "$plugin" --set 10=0.3 --editor --screenshot "$out" 2>"$out/stderr.txt"
/usr/bin/python3 - "$out" <<'PY'
import struct, sys, zlib
out = sys.argv[1]
sizes = {"options": (255, 245)}
for name in ["tab1-input", "tab2-vst2midi", "tab3-replace", "tab4-filter", "tab5-output",
             "options"]:
    data = open(f"{out}/{name}.png", "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", name
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == sizes.get(name, (344, 305)), (name, width, height)
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raw = zlib.decompress(idat)
    colours = {raw[i:i + 3] for i in range(1, len(raw) - 3, 3)}
    assert len(colours) > 8, f"{name} looks blank"
    print(f"ok: {name} {width} x {height}, {len(colours)} colours")
PY
"$host" "$plugin" --editor >"$out/interrupted.txt" 2>&1 &
pid=$!
sleep 2
kill -INT "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ]; then
    echo "FAIL: corvella-host --editor ended with $status after SIGINT"
    exit 1
fi
echo "ok: SIGINT closes the editor window and ends the host with 0"
