#!/bin/sh
# Two users on one machine do not see each other's buses: as root, a second uid attaches
# while root holds a block with a waiting message, and finds a block of its own; root's block
# is mode 0600 and closed to the other uid. Skipped (status 77) when not run as root.
# usage: twousers.sh VSTBUS PEER
set -u
vstbus=$1
peer=$2
run=
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: a second uid needs root (setpriv); run the tests as root to check this"
    exit 77
fi
command -v setpriv >/dev/null || { echo "SKIP: setpriv is missing"; exit 77; }
. "$(dirname "$0")/common.sh"
other=65534
chmod 755 "$tmp"
mkdir -p "$tmp/other"
chown "$other" "$tmp/other"
asOther() {
    setpriv --reuid=$other --regid=$other --clear-groups \
        env XDG_CONFIG_HOME="$tmp/other" CORVELLA_VSTBUS_SCOPE="$CORVELLA_VSTBUS_SCOPE" "$@"
}

"$peer" hold "$tmp/stop" >"$tmp/hold.out" &
waitReady "$tmp/hold.out"
"$vstbus" send 7 0x90 1 2 || fail "root's send answered $?"
"$vstbus" list | grep -q '^7 .* 1$' || fail "root's message is not waiting"

asOther "$vstbus" list >"$tmp/other.out" || fail "the other user's list answered $?"
grep -q '^7 *7 *-- *512 *0$' "$tmp/other.out" || fail "the other user sees: $(grep '^7 ' "$tmp/other.out")"
grep -q '^participants: 1 ' "$tmp/other.out" || fail "the other user shares root's block"

shm="/dev/shm/vstbusbuffer.$CORVELLA_VSTBUS_SCOPE.0"
[ "$(stat -c %a "$shm")" = 600 ] || fail "root's block has mode $(stat -c %a "$shm")"
asOther cat "$shm" >/dev/null 2>&1 && fail "the other user can read root's block"
"$vstbus" list | grep -q '^7 .* 1$' || fail "root's message went away"
echo "two users: ok"
