#!/bin/sh
# Two users on one machine do not see each other's buses: as root, a second uid attaches
# while root holds a block with a waiting message, and finds a block of its own; root's block
# is mode 0600 and closed to the other uid. Names the other uid puts where root's block goes
# are refused with a message saying what was found, at once and without being touched; in a
# runtime folder of root's own they do not matter. Skipped (status 77) when not run as root.
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
# Without a runtime folder root's block goes to /dev/shm.
unset XDG_RUNTIME_DIR
blockDir=/dev/shm
[ -d /run/user/0 ] && blockDir=/run/user/0
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

shm="$blockDir/vstbusbuffer.$CORVELLA_VSTBUS_SCOPE.0"
[ "$(stat -c %a "$shm")" = 600 ] || fail "root's block has mode $(stat -c %a "$shm")"
asOther cat "$shm" >/dev/null 2>&1 && fail "the other user can read root's block"
"$vstbus" list | grep -q '^7 .* 1$' || fail "root's message went away"

# The other uid squats root's names in /dev/shm (where the block goes without a runtime folder):
# a file of its own, a link to a file of root's, and the lock's old name.
if [ "$blockDir" != /dev/shm ]; then
    echo "two users: ok (root's block is in $blockDir, so squatting /dev/shm was not tried)"
    exit 0
fi
scope=$CORVELLA_VSTBUS_SCOPE
squat=/dev/shm/vstbusbuffer.$scope.squat.0
link=/dev/shm/vstbusbuffer.$scope.link.0
echo root >"$tmp/root-file"
chmod 644 "$tmp/root-file"
asOther sh -c "umask 0; : >'$squat'; ln -s '$tmp/root-file' '$link'; : >/dev/shm/sem.vstbus_mootex.$scope.0"
refused() {  # refused SCOPE WHAT: root's attach fails at once and says WHAT
    start=$(date +%s%N)
    CORVELLA_VSTBUS_SCOPE=$1 "$vstbus" list >/dev/null 2>"$tmp/err.out" && fail "root used a squatted $1"
    took=$((($(date +%s%N) - start) / 1000000))
    grep -q "Unable to create memory map: .*$2" "$tmp/err.out" || fail "the squatted $1 said: $(cat "$tmp/err.out")"
    [ $took -lt 1500 ] || fail "refusing the squatted $1 took $took ms"
}
refused "$scope.squat" "/dev/shm/vstbusbuffer.$scope.squat.0 belongs to user $other"
refused "$scope.link" "/dev/shm/vstbusbuffer.$scope.link.0 is a symbolic link"
[ "$(stat -c %U:%s "$squat")" = "$(id -un $other):0" ] || fail "root touched the squatted file"
[ "$(cat "$tmp/root-file")" = root ] || fail "root wrote through the link"
start=$(date +%s%N)
"$vstbus" list >/dev/null || fail "root's list beside a squatted lock name answered $?"
took=$((($(date +%s%N) - start) / 1000000))
[ $took -lt 1500 ] || fail "a squatted lock name stalled root for $took ms"

# In a runtime folder of root's own the block is root's, whatever waits in /dev/shm.
mkdir -m 700 "$tmp/run"
XDG_RUNTIME_DIR="$tmp/run" CORVELLA_VSTBUS_SCOPE="$scope.squat" "$vstbus" list >"$tmp/run.out" ||
    fail "root's list with a runtime folder answered $?"
grep -q '^participants: 1 ' "$tmp/run.out" || fail "root's list with a runtime folder: $(cat "$tmp/run.out")"
asOther sh -c ": >'$tmp/run/vstbusbuffer.x'" 2>/dev/null && fail "the other user can write in root's runtime folder"
rm -f "$squat" "$link" "/dev/shm/sem.vstbus_mootex.$scope.0"
echo "two users: ok"
