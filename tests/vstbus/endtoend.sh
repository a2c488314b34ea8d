#!/bin/sh
# vstbus from the command line: send then watch, label then list, and bad arguments.
# usage: endtoend.sh VSTBUS PEER [EMULATOR]
set -u
vstbus=$1
peer=$2
run=${3:-}
. "$(dirname "$0")/common.sh"

# The block lives while somebody holds it; a peer holds it between the commands.
$run "$peer" hold "$tmp/stop" >"$tmp/hold.out" &
waitReady "$tmp/hold.out"

$run "$vstbus" send 3 0x90 60 100 || fail "send answered $?"
$run "$vstbus" send 3 0xB2 7 || fail "send with one data byte answered $?"
$run "$vstbus" watch 3 --count 2 >"$tmp/watch.out" || fail "watch answered $?"
grep -q '^90 3C 64  note on, channel 1' "$tmp/watch.out" || fail "watch printed: $(cat "$tmp/watch.out")"
grep -q '^B2 07 00  control change, channel 3' "$tmp/watch.out" || fail "watch printed: $(cat "$tmp/watch.out")"
[ "$(grep -c . "$tmp/watch.out")" -eq 2 ] || fail "watch printed more: $(cat "$tmp/watch.out")"

$run "$vstbus" label 5 "Drum machine" || fail "label answered $?"
[ "$($run "$vstbus" label 5 | tr -d '\r')" = "Drum machine" ] || fail "label did not read back"
$run "$vstbus" list >"$tmp/list.out" || fail "list answered $?"
grep -q '^5 *Drum machine  *-- *512 *0' "$tmp/list.out" || fail "list printed: $(cat "$tmp/list.out")"
grep -q '^63 *63 ' "$tmp/list.out" || fail "list lacks bus 63"
$run "$vstbus" send 4 0x90 1 1 || fail "send to bus 4 answered $?"
$run "$vstbus" list | grep -q '^4 .* -- *512 *1' || fail "list does not count the waiting word"

# Bad arguments: a message and exit status 2, and nothing sent.
for args in "" "frob" "send" "send 64 0x90" "send -1 0x90" "send 3 0x40" "send 3 0x90 128" \
    "send 3 0x90 1 2 3" "send 3 0xZZ" "watch 3 --count 0" "watch 3 --count" "watch x" \
    "list 3" "label 70"; do
    # shellcheck disable=SC2086
    $run "$vstbus" $args >/dev/null 2>"$tmp/err.out"
    status=$?
    [ $status -eq 2 ] || fail "'vstbus $args' answered $status"
    grep -q 'vstbus: \|usage:' "$tmp/err.out" || fail "'vstbus $args' said nothing"
done
$run "$vstbus" list | grep -q '^3 .* -- *512 *0' || fail "a bad send reached bus 3"

# A full bus keeps its 512 waiting words and refuses the next with a message.
$run "$peer" fill 30 >"$tmp/fill.out" || fail "filling bus 30: $(cat "$tmp/fill.out")"
grep -q 'filled bus 30 with 512 words' "$tmp/fill.out" || fail "fill: $(cat "$tmp/fill.out")"
$run "$vstbus" send 30 0x90 2 2 2>"$tmp/err.out" && fail "a send to a full bus answered 0"
grep -q 'bus 30 is full (512 words waiting, capacity 512).*dropped by this vstbus: 1' \
    "$tmp/err.out" || fail "a send to a full bus said: $(cat "$tmp/err.out")"
$run "$vstbus" watch 30 --count 512 >"$tmp/watch.out" || fail "watch of the full bus answered $?"
[ "$(grep -c . "$tmp/watch.out")" -eq 512 ] || fail "the full bus lost words"
grep -q '^90 02 02' "$tmp/watch.out" && fail "the refused word arrived"

# With nobody else attached the message cannot survive, and send says so.
touch "$tmp/stop"
wait
$run "$vstbus" send 3 0x90 60 100 2>"$tmp/err.out" && fail "a send into nothing answered 0"
grep -q 'lost' "$tmp/err.out" || fail "a send into nothing said: $(cat "$tmp/err.out")"
echo "vstbus end to end: ok"
