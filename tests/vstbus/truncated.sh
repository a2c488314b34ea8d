#!/bin/sh
# The block's file cut to 4 KB by another program while two participants hold it: the one that
# uses it (a `vstbus watch`, draining bus 5 far past the first 4 KB) does not die of SIGBUS but
# says that it lost the buses and ends with status 1; one that attaches to the cut file while
# the other still holds it is refused with the notice instead of using it.
# usage: truncated.sh VSTBUS PEER
set -u
vstbus=$1
peer=$2
run=
. "$(dirname "$0")/common.sh"
uid=$(id -u)
name="vstbusbuffer.$CORVELLA_VSTBUS_SCOPE.$uid"

"$peer" hold "$tmp/stop" >"$tmp/hold.out" &
waitReady "$tmp/hold.out"
"$vstbus" watch 5 >"$tmp/watch.out" 2>"$tmp/watch.err" &
watcher=$!
file=
for dir in "/run/user/$uid" "${XDG_RUNTIME_DIR:-/nonexistent}" /dev/shm; do
    [ -z "$file" ] && [ -f "$dir/$name" ] && file="$dir/$name"
done
[ -n "$file" ] || fail "no block file $name"
sleep 0.3
truncate -s 4096 "$file" || fail "cannot cut $file"

wait $watcher
status=$?
[ $status -eq 1 ] || fail "the watcher answered $status: $(cat "$tmp/watch.err")"
grep -q "shared block was cut short" "$tmp/watch.err" ||
    fail "the watcher said: $(cat "$tmp/watch.err")"

"$vstbus" list >/dev/null 2>"$tmp/list.err"
status=$?
[ $status -eq 1 ] || fail "attaching to the cut block answered $status: $(cat "$tmp/list.err")"
grep -q "Unable to view memory map: $file is 4096 bytes, not 8389504" "$tmp/list.err" ||
    fail "attaching to the cut block said: $(cat "$tmp/list.err")"

touch "$tmp/stop"
wait
[ ! -e "$file" ] || fail "the last participant left the cut block behind"
echo "a block cut short: ok"
