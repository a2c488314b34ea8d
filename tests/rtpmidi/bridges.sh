#!/bin/sh
# Two bridges on loopback joining two sets of buses, as two machines would: messages both ways,
# also after a flood of garbage at one bridge's ports (which costs its log a line or two); then
# SIGTERM ends one bridge with status 0, the other sees the session end, and the bus the ended
# bridge wrote to no longer carries its sender flag.
# usage: bridges.sh VSTBUS RTP_PEER BASEPORT
set -u
vstbus=$1
peer=$2
base=$3
. "$(dirname "$0")/common.sh"
scopeA="$CORVELLA_VSTBUS_SCOPE.a"

# Bad arguments: status 2 and a message, before any port or bus is touched.
for args in "" "--from 1 --to 1 --listen $base" "--to 2 --listen 65535" "--to 2 --connect $base" \
    "--listen $base" "--to 2 --listen $base --connect h:1" "--to 2 --listen $base --allow 1.2.3.4/40" \
    "--to 2 --listen $base --allow name" "--to 64 --listen $base"; do
    # shellcheck disable=SC2086
    "$vstbus" rtp $args >/dev/null 2>"$tmp/err.out"
    status=$?
    [ $status -eq 2 ] || fail "'vstbus rtp $args' answered $status"
    grep -q 'vstbus rtp: \|usage:' "$tmp/err.out" || fail "'vstbus rtp $args' said nothing"
done
scopeB="$CORVELLA_VSTBUS_SCOPE.b"

CORVELLA_VSTBUS_SCOPE=$scopeA "$vstbus" rtp --from 1 --to 2 --listen 127.0.0.1:"$base" \
    --name "studio A" --no-announce 2>"$tmp/a.err" &
a=$!
waitFor "$tmp/a.err" listening
# Keeps B's buses alive after B's bridge ends.
CORVELLA_VSTBUS_SCOPE=$scopeB "$peer" busstate 5 30 >"$tmp/hold.out" &
hold=$!
waitReady "$tmp/hold.out"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" rtp --from 1 --to 2 --connect 127.0.0.1:"$base" \
    --name "studio B" 2>"$tmp/b.err" &
b=$!
waitFor "$tmp/a.err" "session opened with 'studio B'"
waitFor "$tmp/b.err" "session opened with 'studio A'"

CORVELLA_VSTBUS_SCOPE=$scopeA "$vstbus" send 1 0x91 64 90 &&
    CORVELLA_VSTBUS_SCOPE=$scopeA "$vstbus" send 1 0xC1 7 &&
    CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" send 1 0xB5 10 20 || fail "send failed"
CORVELLA_VSTBUS_SCOPE=$scopeB timeout 20 "$vstbus" watch 2 --count 2 >"$tmp/b.out" ||
    fail "B's bus 2: $(cat "$tmp/b.err")"
CORVELLA_VSTBUS_SCOPE=$scopeA timeout 20 "$vstbus" watch 2 --count 1 >"$tmp/a.out" ||
    fail "A's bus 2: $(cat "$tmp/a.err")"
[ "$(cut -c1-8 "$tmp/b.out" | tr '\n' ' ')" = "91 40 5A C1 07 00 " ] || fail "B got $(cat "$tmp/b.out")"
[ "$(cut -c1-8 "$tmp/a.out")" = "B5 0A 14" ] || fail "A got $(cat "$tmp/a.out")"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" list | grep -q '^2 .* S- ' || fail "B's bus 2 is not marked"

# Garbage at A's ports changes nothing for the session.
"$peer" flood "$base" 20000 5 || fail "flood failed"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" send 1 0x80 64 0 || fail "send after the flood failed"
CORVELLA_VSTBUS_SCOPE=$scopeA timeout 20 "$vstbus" watch 2 --count 1 >"$tmp/a2.out" ||
    fail "nothing after the flood: $(cat "$tmp/a.err")"
[ "$(cut -c1-8 "$tmp/a2.out")" = "80 40 00" ] || fail "A got $(cat "$tmp/a2.out") after the flood"
kill -0 $a || fail "bridge A ended during the flood"
[ "$(grep -c refused "$tmp/a.err")" -le 3 ] || fail "the flood flooded A's log: $(grep -c . "$tmp/a.err") lines"

kill -TERM $b
wait $b || fail "bridge B ended with status $? on SIGTERM"
waitFor "$tmp/a.err" "session closed by 'studio B'"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" list | grep -q '^2 .* -- ' || fail "B's bus 2 is still marked"
kill -TERM $a
wait $a || fail "bridge A ended with status $?"
kill $hold
echo "bridges: passed"
