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

# Replace, two filter rows and a delay together. Expected lines worked out by hand:
# - replace: note ons on channel 1, any data, move to channel 3;
# - filter "Block only": row 1 controller 7 on channel 1, row 2 program changes on any channel;
# - delay 512 samples: a message handed in before block n leaves 513 frames later, in block
#   n + 1 at 512 frames a block; two messages aimed at one frame leave in consecutive frames.
out=$(run "$plugin" --blocks 4 \
    --set 2=1 --set 31=0/256 --set 32=1/256 --set 33=128/256 --set 34=128/256 \
    --set 35=2/256 --set 36=23/256 --set 37=130/256 --set 38=130/256 \
    --set 10=0.3 --set 11=1 --set 12=0/256 --set 13=3/256 --set 14=7/256 \
    --set 15=1 --set 16=16/256 --set 17=4/256 --set 18=0 \
    --set 8=1 --set 7=512/32767 \
    --send "0:0x90 60 100,10:0xB0 7 90,20:0xB0 8 90,30:0xC5 3,1100:0x80 60 0,1200:0x91 61 1")
expected="block 0 frame 0: B0 00 00
block 1 frame 0: 92 3C 64
block 1 frame 0: B0 08 5A
block 3 frame 0: 80 3C 00
block 3 frame 0: 91 3D 01"
if [ "$out" != "$expected" ]; then
    echo "FAIL: replace, filter and delay gave:"; printf '%s\n' "$out"
    fails=$((fails + 1))
fi

# Two hosts pass MIDI over bus 5: one puts to it, the other gets from it and sends to its host.
export CORVELLA_VSTBUS_SCOPE="host-cli-$$"
recv=$(mktemp)
$runner "$host" "$plugin" --realtime --blocks 500 --set 43=1 --set 41=5/256 >"$recv" 2>&1 &
receiver=$!
sleep 2
run "$plugin" --blocks 2 --set 1=0 --set 44=1 --set 42=5/256 --send "0:0x90 64 101,10:0x80 64 0" >/dev/null
wait "$receiver"
got=$(tr -d '\r' <"$recv" | sed 's/^block [0-9]* //' | grep -v 'B0 00 00')
rm -f "$recv"
unset CORVELLA_VSTBUS_SCOPE
if [ "$got" != "frame 0: 90 40 65
frame 0: 80 40 00" ]; then
    echo "FAIL: over bus 5 the receiving host got:"; printf '%s\n' "$got"
    fails=$((fails + 1))
fi

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

# A directory, or a NUL byte inside a line, is no state file.
mkdir "$state"
printf 'program A\000B\nparam 7 0.5\n' > "$state/nul.txt"
for bad in "$state" "$state/nul.txt"; do
    $runner "$host" "$plugin" --load-state "$bad" >/dev/null 2>&1 &&
        { echo "FAIL: --load-state $bad was accepted"; fails=$((fails + 1)); }
done
rm -rf "$state"

# Refused with a usage message and status 2: indices beyond the plug-in's parameters (also
# when they would wrap to a valid one) and numbers that overflow.
for bad in "--blocks x" "--send 0:0x190" "--set 3" "--bogus" "--set 68=1" "--set 4294967303=1" \
    "--set 99999999999999999999=1" "--set 0x7FFFFFFFFFFFFFFFF=1" "--max-length 0"; do
    msg=$($runner "$host" "$plugin" $bad 2>&1 >/dev/null)
    rc=$?
    [ "$rc" -eq 2 ] || { echo "FAIL: '$bad' answered $rc"; fails=$((fails + 1)); }
    case "$bad" in --set*|--max*)
        printf '%s\n' "$msg" | grep -q '^usage: ' || { echo "FAIL: '$bad' gave no usage"; fails=$((fails + 1)); }
    esac
done

# A 33-byte file whose one note lies 16 days of audio away is refused before processing
# (without the limit the run would take hours); a larger --max-length lets a short file run.
midi=$(mktemp -d)
printf 'MThd\000\000\000\006\000\000\000\001\000\140MTrk\000\000\000\013\377\377\377\177\220\074\144\000\377\057\000' \
    > "$midi/far.mid"
msg=$(run "$plugin" --in "$midi/far.mid")
rc=$?
printf '%s\n' "$msg" | grep -q "beyond the limit of 86400 s" ||
    { echo "FAIL: a file 16 days long was not refused: $msg"; fails=$((fails + 1)); }
printf 'MThd\000\000\000\006\000\000\000\001\000\140MTrk\000\000\000\011\201\100\220\074\144\000\377\057\000' \
    > "$midi/near.mid"
msg=$(run "$plugin" --in "$midi/near.mid" --max-length 0.6)
printf '%s\n' "$msg" | grep -q "lies 1 s of audio away, beyond the limit of 0.6 s" ||
    { echo "FAIL: --max-length 0.6 let a 1 s file through: $msg"; fails=$((fails + 1)); }
out=$(run "$plugin" --in "$midi/near.mid" --max-length 1)
expect "$out" "block 86 frame 0: 90 3C 64"
rm -rf "$midi"

# SIGTERM ends a --realtime run after its current block and closes the plug-in, so it leaves
# the bus: the block counts one participant fewer. (Not under Wine: no POSIX signals there.)
if [ -z "$runner" ] && [ -n "${VSTBUS_TOOL:-}" ]; then
    export CORVELLA_VSTBUS_SCOPE="host-cli-signal-$$"
    participants() { "$VSTBUS_TOOL" list 2>/dev/null | sed -n 's/^participants: \([0-9]*\).*/\1/p'; }
    "$host" "$plugin" --realtime --blocks 1000000 >/dev/null 2>&1 &
    pid=$!
    tries=0
    while [ "$(participants)" != 2 ] && [ "$tries" -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
    before=$(participants)
    kill -TERM "$pid"
    wait "$pid"
    rc=$?
    after=$(participants)
    unset CORVELLA_VSTBUS_SCOPE
    [ "$before" = 2 ] && [ "$after" = 1 ] && [ "$rc" -eq 143 ] ||
        { echo "FAIL: SIGTERM: participants $before then $after, status $rc"; fails=$((fails + 1)); }
fi
$runner "$host" /nonexistent/plugin.so --info >/dev/null 2>&1 && { echo "FAIL: missing plug-in accepted"; fails=$((fails + 1)); }

[ "$fails" -eq 0 ] && echo "ok"
exit "$fails"
