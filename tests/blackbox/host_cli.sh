#!/bin/sh
# corvella-host as a user runs it: --info shows what a host sees, a --send run prints what the
# plug-in sends back, and bad arguments fail with a message.
# usage: host_cli.sh HOST PLUGIN [RUNNER]   (RUNNER runs Windows programs, e.g. wine-run)
set -u
host=$1
plugin=$2
runner=${3:-}
fails=0
run() { $runner "$host" "$@" 2>&1 | tr -d '\r'; }
expect() {  # expect OUTPUT LINE
    if ! printf '%s\n' "$1" | grep -Fxq -- "$2"; then
        echo "FAIL: missing line: $2"
        fails=$((fails + 1))
    fi
}

info=$(run "$plugin" --info)
for line in "magic: 0x56737450 'VstP'" "numPrograms: 1" "numParams: 68" "numInputs: 0" \
    "numOutputs: 1" "flags: 0x119" "uniqueID: 0x4352564C 'CRVL'" "version: 1" "ioRatio: 1" \
    "user: null" "future: all zero" "effect name: corvella 9-30-2003" "vendor: Quobel" \
    "product: corvella 9-30-2003" "vendor version: 1" "category: 2" "VST version: 2300" \
    "canDo receiveVstMidiEvent: 1" "canDo offline: -1" "output 0: corv 1 flags 0x3" \
    "program: 0 Corvella" 'param 0: "output device" = 0' 'param 33: "replace: byte2 " = 0' \
    'param 67: "cc knob 6 message" = 0' "effClose: 1"; do
    expect "$info" "$line"
done

out=$(run "$plugin" --blocks 3 --send "0:0x90 60 100,700:0x80 60 0,1100:0xB0 7 127")
expect "$out" "block 0 frame 0: 90 3C 64"
expect "$out" "block 1 frame 0: 80 3C 00"
expect "$out" "block 2 frame 0: B0 07 7F"
# Knob 1's message from construction (control change 0 value 0, channel 1) comes first.
first=$(printf '%s\n' "$out" | head -n 1)
[ "$first" = "block 0 frame 0: B0 00 00" ] || { echo "FAIL: first event is '$first'"; fails=$((fails + 1)); }
count=$(printf '%s\n' "$out" | grep -c '^block ')
[ "$count" -eq 4 ] || { echo "FAIL: expected 4 events back, got $count"; fails=$((fails + 1)); }

# "send to host?" off: the note does not come back.
out=$(run "$plugin" --set 1=0 --send "0:0x90 60 100")
printf '%s\n' "$out" | grep -q '90 3C 64' && { echo "FAIL: note came back with send to host off"; fails=$((fails + 1)); }

# A project saved and reopened: every value and the program name come back.
state=$(mktemp -d)
run "$plugin" --blocks 0 --set 2=1 --set 7=0.5 --set 31=0.02734375 --set 50=0.333 \
    --save-state "$state/a.txt" >/dev/null
sed 's/^program .*/program My Song 2/' "$state/a.txt" > "$state/b.txt"
run "$plugin" --blocks 0 --load-state "$state/b.txt" --save-state "$state/c.txt" >/dev/null
if [ "$(cat "$state/b.txt")" != "$(cat "$state/c.txt" | tr -d '\r')" ]; then
    echo "FAIL: state did not round-trip:"; diff "$state/b.txt" "$state/c.txt"
    fails=$((fails + 1))
fi
grep -qx 'param 7 0.5' "$state/c.txt" && grep -qx 'program My Song 2' "$state/c.txt" ||
    { echo "FAIL: restored state lacks the set values"; fails=$((fails + 1)); }
printf 'param 999 1\n' > "$state/bad.txt"
$runner "$host" "$plugin" --load-state "$state/bad.txt" >/dev/null 2>&1 &&
    { echo "FAIL: a damaged state file was accepted"; fails=$((fails + 1)); }
rm -rf "$state"

for bad in "--blocks x" "--send 0:0x190" "--set 3" "--bogus"; do
    $runner "$host" "$plugin" $bad >/dev/null 2>&1 && { echo "FAIL: '$bad' was accepted"; fails=$((fails + 1)); }
done
$runner "$host" /nonexistent/plugin.so --info >/dev/null 2>&1 && { echo "FAIL: missing plug-in accepted"; fails=$((fails + 1)); }

[ "$fails" -eq 0 ] && echo "ok"
exit "$fails"
