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
set -x
"$host" "$plugin" --info
"$host" "$plugin" --blocks 4 --send "0:0x90 60 100,700:0x80 60 0,1100:0xB0 7 127"
