#!/bin/sh
# Ardour 7 plays MIDI through the plug-in in a headless session (dummy backend) and records what
# comes out on a second track: unchanged with no stage on, and with note 60 replaced by 67 under
# a replace pattern. Skips (exit 77) where Ardour is not installed.
# usage: ardour_session.sh PLUGIN [lv2]   (PLUGIN: the VST 2 module, or with lv2 the bundle)
set -u
plugin=$1
format=${2:-lxvst}
here=$(cd "$(dirname "$0")" && pwd)
lua=$(command -v ardour7-lua)
scanner=$(ls /usr/lib/ardour*/ardour-vst-scanner 2>/dev/null | tail -n 1)
if [ -z "$lua" ] || [ -z "$scanner" ]; then
    echo "SKIP: ardour7-lua or ardour-vst-scanner is not installed (Debian package ardour)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
mkdir -p "$work/vst" "$work/lv2" "$XDG_CONFIG_HOME/ardour7/scripts"
cp "$here/ardour_notes.lua" "$XDG_CONFIG_HOME/ardour7/scripts/"
if [ "$format" = lv2 ]; then
    # LV2 bundles need no scan: Ardour finds the bundle through LV2_PATH.
    cp -R "$plugin" "$work/lv2/"
    export LV2_PATH="$work/lv2"
else
    cp "$plugin" "$work/vst/corvella.so"
    # Ardour trusts the scanner's cache only when it is newer than the binary, to the second.
    touch -d '1 minute ago' "$work/vst/corvella.so"
    # Without its GUI Ardour does not scan: it loads VST 2 plug-ins from the scanner's cache.
    LD_LIBRARY_PATH=$(dirname "$scanner") "$scanner" -f -q "$work/vst/corvella.so" ||
        { echo "FAIL: the scanner rejected the plug-in"; exit 1; }
fi
# A crash of the session host leaves a core in $work (where the kernel writes cores to the
# working folder), and its stacks are printed: the plug-in runs inside that process.
out=$(cd "$work" && ulimit -c unlimited 2>/dev/null;
    timeout 120 "$lua" "$here/ardour_session.lua" "$work/session" "$work/vst" "$format" 2>&1)
status=$?
echo "$out"
if ! printf '%s\n' "$out" | grep -qx done; then
    echo "FAIL: the session script did not finish (status $status)"
    core=$(ls "$work"/core* 2>/dev/null | head -n 1)
    host=$(sed -n 's/^exec \([^ ]*\) .*/\1/p' "$lua" | head -n 1)
    if [ -n "$core" ] && [ -n "$host" ] && command -v gdb >/dev/null; then
        LD_LIBRARY_PATH=$(dirname "$host") gdb -q -batch -ex "thread apply all bt 30" \
            "$host" "$core" 2>&1 | grep -v '^\[New LWP' | head -n 300
    fi
    exit 1
fi

# CASE: the recorded notes as "CHANNEL NOTE VELOCITY", in order; then the beat positions.
fails=0
check() {
    got=$(printf '%s\n' "$out" | awk -v c="$1" '$1 == c && $2 == "note" { printf "%s %s %s;", $3, $4, $5 }')
    if [ "$got" != "$2" ]; then
        echo "FAIL: $1 recorded '$got', expected '$2'"
        fails=$((fails + 1))
    fi
    # The second note one beat after the first (1,920 ticks a beat), within a sixteenth.
    printf '%s\n' "$out" | awk -v c="$1" '$1 == c && $2 == "note" {
            split($6, b, ":"); t[n++] = b[1] * 1920 + b[2] }
        END { d = t[1] - t[0]; exit !(n == 2 && d > 1920 - 480 && d < 1920 + 480) }' ||
        { echo "FAIL: $1 notes are not a beat apart"; fails=$((fails + 1)); }
}
check thru "0 60 100;0 64 90;"
check replace "0 67 100;0 64 90;"
[ "$fails" -eq 0 ] || exit 1
echo ok
