#!/bin/sh
# The bundle's Turtle against the definitions of the LV2 vocabularies it uses (lv2_validate runs
# sord_validate over them): no errors and no warnings.
# usage: lv2_validate.sh BUNDLE_DIR
set -u
out=$(lv2_validate "$1"/*.ttl 2>&1)
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -Eq '^(error|warning):' && exit 1
printf '%s\n' "$out" | grep -q 'Found 0 errors' || exit 1
exit 0
