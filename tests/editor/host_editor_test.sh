#!/bin/sh
# corvella-host --editor on the virtual display that x11_gui_test.sh starts: --screenshot saves
# the five tabs and the options dialog at their sizes and not blank, at 100 % and at 200 % (by
# the EditorScale option and by an Xft.dpi of 192 set with xrdb), the 200 % pictures drawn at
# that size rather than doubled; a screenshot folder not there yet is made, one that cannot be
# is named with status 2; and Ctrl+C (SIGINT) closes the window and ends the host cleanly.
# usage: host_editor_test.sh corvella-host corvella.so OUTDIR
set -eu
host=$1
plugin=$2
out=$3
rm -rf "$out"
mkdir -p "$out"

# check DIR PERCENT: the pictures' sizes at PERCENT; not blank; above 100 %, not pixel-doubled.
check() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import struct, sys, zlib
out, percent = sys.argv[1], int(sys.argv[2])


def read_png(path):
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    width, height = struct.unpack(">II", data[16:24])
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    raw, stride = zlib.decompress(idat), width * 3 + 1
    rows, prev = [], bytearray(width * 3)
    for y in range(height):
        kind, line = raw[y * stride], bytearray(raw[y * stride + 1:(y + 1) * stride])
        for i in range(len(line)):
            a = line[i - 3] if i >= 3 else 0
            b, c = prev[i], prev[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([bytes(line[3 * x:3 * x + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def px(v):
    return (v * percent + 50) // 100


for name in ["tab1-input", "tab2-vst2midi", "tab3-replace", "tab4-filter", "tab5-output",
             "options"]:
    width, height, rows = read_png(f"{out}/{name}.png")
    expected = (255, 289) if name == "options" else (344, 305)
    assert (width, height) == (px(expected[0]), px(expected[1])), (name, width, height)
    colours = {p for row in rows for p in row}
    assert len(colours) > 8, f"{name} looks blank"
    mixed = blocks = 0
    for y in range(0, height - 1, 2):
        for x in range(0, width - 1, 2):
            c = rows[y][x]
            blocks += 1
            mixed += rows[y][x + 1] != c or rows[y + 1][x] != c or rows[y + 1][x + 1] != c
    # Text and one-pixel lines: a picture doubled pixel by pixel has no mixed 2 x 2 blocks.
    assert percent == 100 or mixed * 50 > blocks, f"{name} looks doubled pixel by pixel"
    print(f"ok: {name} {width} x {height} at {percent} %, {len(colours)} colours, "
          f"{mixed} of {blocks} 2 x 2 blocks mixed")
PY
}

"$host" "$plugin" --set 10=0.3 --editor --screenshot "$out" 2>"$out/stderr.txt"
check "$out" 100

# 200 % by the option, in a settings folder of its own; the screenshot folder is not there yet
# and the host makes it (with its parents).
mkdir -p "$out/config/corvella/Software"
printf 'EditorScale=dword:200\n' >"$out/config/corvella/Software/Corvella.conf"
XDG_CONFIG_HOME="$out/config" "$host" "$plugin" --set 10=0.3 --editor \
    --screenshot "$out/new/200" 2>"$out/stderr-200.txt"
check "$out/new/200" 200

# A folder that cannot be made is named, with the reason, and the run fails with 2.
status=0
"$host" "$plugin" --editor --screenshot "$out/stderr.txt/shots" 2>"$out/stderr-bad.txt" ||
    status=$?
if [ "$status" -ne 2 ] || ! grep -q "$out/stderr.txt/shots: " "$out/stderr-bad.txt"; then
    echo "FAIL: an impossible --screenshot folder gave $status: $(cat "$out/stderr-bad.txt")"
    exit 1
fi
echo "ok: a --screenshot folder that cannot be made is named"

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

# 200 % by the display: Xft.dpi 192 in the X resources, the option unset.
if command -v xrdb >/dev/null 2>&1 && command -v xprop >/dev/null 2>&1; then
    # The server resets, and forgets the resources, when its last client leaves: a watcher
    # stays connected meanwhile.
    xprop -root -spy RESOURCE_MANAGER >/dev/null 2>&1 &
    watcher=$!
    sleep 0.5
    echo 'Xft.dpi: 192' | xrdb -nocpp -merge
    mkdir -p "$out/dpi192"
    status=0
    "$host" "$plugin" --set 10=0.3 --editor --screenshot "$out/dpi192" \
        2>"$out/stderr-dpi.txt" || status=$?
    kill "$watcher"
    [ "$status" -eq 0 ] || exit "$status"
    check "$out/dpi192" 200
else
    echo "note: xrdb or xprop is not installed (scripts/setup.sh installs it); Xft.dpi not tried here"
fi
