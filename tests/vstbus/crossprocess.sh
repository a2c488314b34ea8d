#!/bin/sh
# One process sends 100,000 numbered messages to a bus while another drains it; every message
# must arrive once and in order. The sender paces itself by the waiting-word count (see
# peer.cpp); the reader spins. Then a participant is killed: list no longer counts it, and
# nobody waits for the lock it may have held.
# usage: crossprocess.sh PEER VSTBUS [COUNT]
set -u
peer=$1
vstbus=$2
count=${3:-100000}
run=
. "$(dirname "$0")/common.sh"

"$peer" drain 9 "$count" --timeout 120 >"$tmp/drain.out" &
drainer=$!
waitReady "$tmp/drain.out"
"$peer" send 9 "$count" --peers 2 || fail "the sender answered $?"
wait $drainer
status=$?
cat "$tmp/drain.out"
[ $status -eq 0 ] || fail "the reader answered $status"

"$peer" hold "$tmp/stop" >"$tmp/hold1.out" &
waitReady "$tmp/hold1.out"
"$peer" hold "$tmp/stop" >"$tmp/hold2.out" &
killed=$!
waitReady "$tmp/hold2.out"
kill -9 $killed
wait $killed 2>/dev/null
start=$(date +%s%N)
"$vstbus" list >"$tmp/list.out" || fail "list answered $?"
took=$((($(date +%s%N) - start) / 1000000))
grep -q '^participants: 2 ' "$tmp/list.out" || fail "list counts: $(tail -2 "$tmp/list.out")"
grep -q '^the block counts 3: the others ended without leaving' "$tmp/list.out" ||
    fail "list does not say what the block counts: $(tail -2 "$tmp/list.out")"
[ $took -lt 1500 ] || fail "list took $took ms"
echo "a killed participant: ok"
