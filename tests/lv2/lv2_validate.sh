#!/bin/sh
# The bundle's Turtle against the definitions of the LV2 vocabularies it uses (lv2_validate runs
# sord_validate over them): no errors and no warnings. Then lilv reads it as a host does: 71
# ports (the parameters, MIDI in and out, notify), the editor's X11 UI, and the lists with the
# editor's entries as scale points.
# usage: lv2_validate.sh BUNDLE_DIR
set -u
out=$(lv2_validate "$1"/*.ttl 2>&1)
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -Eq '^(error|warning):' && exit 1
printf '%s\n' "$out" | grep -q 'Found 0 errors' || exit 1
bundle=$(cd "$1" && pwd)
info=$(LV2_PATH=$(dirname "$bundle") lv2info urn:quobel:corvella 2>&1)
[ "$(printf '%s\n' "$info" | grep -c 'Port [0-9]*:')" -eq 71 ] || { echo "FAIL: not 71 ports"; exit 1; }
printf '%s\n' "$info" | grep -q 'ui#X11UI' || { echo "FAIL: no X11 UI"; exit 1; }
for point in '1.0 = "144-159 Note on"' '128.0 = "ANY"' '0.3 = "Block only"' '130.0 = "Pitchwheel"'; do
    printf '%s\n' "$info" | grep -Fq "$point" || { echo "FAIL: no scale point $point"; exit 1; }
done
exit 0
