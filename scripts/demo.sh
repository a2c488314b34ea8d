#!/usr/bin/env bash
# Builds the Linux plug-in and shows it in corvella-host: what a host sees, then a short run
# in which three MIDI messages go in and come back out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
host=build/linux/tools/corvella-host
plugin=build/linux/src/corvella.so
show() { printf '\n$ corvella-host PLUGIN %s\n' "$*"; "$host" "$plugin" "$@"; }

show --info
# Three messages in, three back (after the control change 0 that knob 1 sends at start-up).
show --blocks 4 --send "0:0x90 60 100,700:0x80 60 0,1100:0xB0 7 127"
# Filter "Block only", row 1: control changes on channel 1. The channel 2 controller passes.
show --blocks 2 --set 10=0.3 --set 11=1 --set 12=0/256 --set 13=3/256 --set 14=128/256 \
    --send "0:0x90 60 100,100:0xB0 7 90,200:0xB1 7 90"
# Replace: note ons on channel 1, any note and velocity, move to channel 2.
show --blocks 2 --set 2=1 --set 31=0/256 --set 32=1/256 --set 33=128/256 --set 34=128/256 \
    --set 35=1/256 --set 36=23/256 --set 37=130/256 --set 38=130/256 \
    --send "0:0x90 60 100,10:0x90 62 100,20:0x80 60 0"
# Delay output by 512 samples: the note sent in block 0 leaves in block 1.
show --blocks 3 --set 8=1 --set 7=512/32767 --send "0:0x90 60 100"
