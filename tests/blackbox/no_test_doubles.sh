#!/bin/sh
# The shipped plug-in carries none of the platform test doubles (tests/support).
# usage: no_test_doubles.sh NM PLUGIN
set -u
nm=$1
plugin=$2
symbols=$("$nm" -C "$plugin" 2>&1) || { echo "FAIL: $nm cannot read $plugin"; echo "$symbols"; exit 1; }
[ -n "$symbols" ] || { echo "FAIL: $plugin has no symbol table to check"; exit 1; }
found=$(printf '%s\n' "$symbols" |
    grep -E 'MemorySettingsStore|RecordingNoticeSink|ScriptedMidiBackend|MemorySharedMemory')
if [ -n "$found" ]; then
    echo "FAIL: test doubles in $plugin:"
    echo "$found"
    exit 1
fi
echo ok
