#!/bin/sh
# Packet loss: a relay between the library's test peer and the bridge throws away 4 in 10 of the
# first 150 data packets; the notes, controllers, programs and pitch wheels on the bridge's bus
# still end in the state the sender played, repaired from the recovery journal.
# usage: loss.sh VSTBUS RTP_PEER BASEPORT
set -u
vstbus=$1
peer=$2
base=$3
. "$(dirname "$0")/common.sh"

"$vstbus" rtp --to 2 --listen 127.0.0.1:"$base" --no-announce 2>"$tmp/bridge.err" &
bridge=$!
waitFor "$tmp/bridge.err" listening
"$peer" busstate 2 6 >"$tmp/bus.out" &
reader=$!
waitReady "$tmp/bus.out"
"$peer" relay $((base + 10)) "$base" 150 2>"$tmp/relay.err" &
relay=$!
waitFor "$tmp/relay.err" ready
"$peer" play 127.0.0.1:$((base + 10)) 7 200 >"$tmp/play.out" 2>"$tmp/play.err" ||
    fail "play: $(cat "$tmp/play.err")"
kill $relay
wait $reader
kill -TERM $bridge
wait $bridge || fail "the bridge ended with status $? on SIGTERM"
grep -q "the journal repaired" "$tmp/bridge.err" || fail "no repair: $(cat "$tmp/bridge.err")"
sent=$(grep '^state' "$tmp/play.out")
got=$(grep '^state' "$tmp/bus.out")
[ -n "$sent" ] && [ "$sent" = "$got" ] || fail "the sender left
$sent
the bus got
$got"
echo "loss: passed"
