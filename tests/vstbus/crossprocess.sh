#!/bin/sh
# Four processes send 60,000 numbered messages each to one bus at once while another drains
# it, four times: every message must arrive once and after its writer's earlier ones, or be
# counted as dropped by its writer. The senders pace themselves by the waiting-word count (see
# peer.cpp); the reader spins. Then a participant is killed: list no longer counts it, and
# nobody waits for the lock it may have held.
# usage: crossprocess.sh PEER VSTBUS [COUNT]
set -u
peer=$1
vstbus=$2
count=${3:-60000}
run=
. "$(dirname "$0")/common.sh"

# Four rounds: writers race only where they run at the same moment, which a busy machine makes
# rarer.
for round in 1 2 3 4; do
    rm -f "$tmp/sent" "$tmp/go" "$tmp"/send*.out
    "$peer" drain 9 "$count" --timeout 120 --writers 4 --until "$tmp/sent" >"$tmp/drain.out" &
    drainer=$!
    waitReady "$tmp/drain.out"
    senders=
    for w in 0 1 2 3; do
        "$peer" send 9 "$count" --writer $w --go "$tmp/go" >"$tmp/send$w.out" &
        senders="$senders $!"
    done
    for w in 0 1 2 3; do waitReady "$tmp/send$w.out"; done
    touch "$tmp/go"
    for s in $senders; do
        wait "$s" || fail "a sender answered $?: $(cat "$tmp"/send*.out)"
    done
    touch "$tmp/sent"
    wait $drainer
    status=$?
    cat "$tmp"/send*.out "$tmp/drain.out"
    [ $status -eq 0 ] || fail "the reader answered $status"
    checkDelivery "$tmp/drain.out" "$tmp"/send*.out
done

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
