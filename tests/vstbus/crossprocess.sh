#!/bin/sh
# One process sends 100,000 numbered messages to a bus while another drains it; every message
# must arrive once and in order. The sender paces itself by the waiting-word count (see
# peer.cpp); the reader spins.
# usage: crossprocess.sh PEER [COUNT]
set -u
peer=$1
count=${2:-100000}
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
