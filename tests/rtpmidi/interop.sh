#!/bin/sh
# Interoperability with an independent RTP-MIDI implementation (the npm package rtpmidi, a Node
# peer in tests/rtpmidi/node): each side invites the other, messages of every kind (SysEx up to
# 4095 bytes) travel there and back in order, and each side ends a session once. First between
# the Node peer and the library's test peer, then with the bridge and the buses between.
# usage: interop.sh VSTBUS RTP_PEER NODE_DIR BASEPORT
set -u
vstbus=$1
peer=$2
nodedir=$3
base=$4
command -v node >/dev/null 2>&1 || { echo "SKIPPED: node is not installed"; exit 77; }
[ -d "$nodedir/node_modules/rtpmidi" ] ||
    { echo "SKIPPED: the Node peer is not installed (scripts/setup.sh runs npm ci)"; exit 77; }
. "$(dirname "$0")/common.sh"
js="$nodedir/peer.js"

# Node invites the library's peer, which sends everything back; Node ends the session.
"$peer" echo "$base" --room 4095 2>"$tmp/echo1.err" &
echo1=$!
waitFor "$tmp/echo1.err" ready
node "$js" check $((base + 100)) "$base" 2>"$tmp/node1.err" ||
    fail "Node to the library: $(cat "$tmp/node1.err" "$tmp/echo1.err")"
wait $echo1 || fail "the library's peer did not see Node end the session: $(cat "$tmp/echo1.err")"

# The library's peer invites Node, which sends everything back; the library ends the session.
node "$js" echo $((base + 10)) 2>"$tmp/node2.err" &
node2=$!
waitFor "$tmp/node2.err" ready
"$peer" check 127.0.0.1:$((base + 10)) --room 4095 2>"$tmp/check2.err" ||
    fail "the library to Node: $(cat "$tmp/check2.err" "$tmp/node2.err")"
wait $node2 || fail "Node did not see the session end: $(cat "$tmp/node2.err")"

# Node invites the bridge; a participant on the buses sends bus 2 back on bus 1.
"$peer" busloop 2 1 30 >"$tmp/loop.out" &
loop=$!
waitReady "$tmp/loop.out"
"$vstbus" rtp --from 1 --to 2 --listen 127.0.0.1:$((base + 20)) --no-announce 2>"$tmp/bridge3.err" &
bridge=$!
waitFor "$tmp/bridge3.err" listening
node "$js" check $((base + 120)) $((base + 20)) --short 2>"$tmp/node3.err" ||
    fail "Node through the bridge: $(cat "$tmp/node3.err" "$tmp/bridge3.err")"
waitFor "$tmp/bridge3.err" "session closed by 'node check'"
kill -TERM $bridge
wait $bridge || fail "the bridge ended with status $? on SIGTERM"
kill $loop
wait $loop 2>/dev/null

# The bridge invites Node, which sends bus 1's messages back to bus 2; SIGTERM ends the session.
node "$js" echo $((base + 30)) 2>"$tmp/node4.err" &
node4=$!
waitFor "$tmp/node4.err" ready
"$vstbus" rtp --from 1 --to 2 --connect 127.0.0.1:$((base + 30)) 2>"$tmp/bridge4.err" &
bridge=$!
waitFor "$tmp/bridge4.err" "session opened with 'node echo'"
"$vstbus" send 1 0x90 60 100 && "$vstbus" send 1 0xE3 1 64 && "$vstbus" send 1 0xF8 ||
    fail "vstbus send failed"
timeout 20 "$vstbus" watch 2 --count 3 >"$tmp/watch4.out" || fail "watch: $(cat "$tmp/bridge4.err")"
[ "$(cut -c1-8 "$tmp/watch4.out" | tr '\n' ' ')" = "90 3C 64 E3 01 40 F8 00 00 " ] ||
    fail "bus 2 got: $(cat "$tmp/watch4.out")"
kill -TERM $bridge
wait $bridge || fail "the bridge ended with status $? on SIGTERM"
wait $node4 || fail "Node did not see the bridge end the session: $(cat "$tmp/node4.err")"
grep -q "session closed with 'node echo'" "$tmp/bridge4.err" || fail "$(cat "$tmp/bridge4.err")"
echo "interop: passed"
