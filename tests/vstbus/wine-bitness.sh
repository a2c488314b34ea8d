#!/bin/sh
# A 32-bit and a 64-bit Windows process share one block under Wine: each in turn sends
# numbered messages that the other drains, once each and in order (or counted as dropped).
# usage: wine-bitness.sh PEER32.exe PEER64.exe WINE-RUN [COUNT]
set -u
peer32=$1
peer64=$2
run=$3
count=${4:-20000}
for p in "$peer32" "$peer64"; do
    [ -f "$p" ] || { echo "SKIP: $p is not built (build both the win32 and win64 presets)"; exit 77; }
done
. "$(dirname "$0")/common.sh"

pass() {  # pass SENDER READER
    rm -f "$tmp/sent"
    $run "$2" drain 11 "$count" --timeout 120 --until "$tmp/sent" >"$tmp/drain.out" &
    reader=$!
    waitReady "$tmp/drain.out"
    $run "$1" send 11 "$count" --peers 2 >"$tmp/send.out" || fail "$1 did not send ($?)"
    touch "$tmp/sent"
    wait $reader
    status=$?
    tr -d '\r' <"$tmp/drain.out"
    [ $status -eq 0 ] || fail "$2 did not receive everything"
    checkDelivery "$tmp/drain.out" "$tmp/send.out"
}
pass "$peer32" "$peer64"
pass "$peer64" "$peer32"
echo "32-bit and 64-bit processes share the buses: ok"
