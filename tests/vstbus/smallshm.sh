#!/bin/sh
# Where the block lives, and a file system too small for it: in a private mount namespace with
# small memory file systems on /run/user and /dev/shm, attaching answers "Unable to create
# memory map" with the reason and leaves nothing behind, instead of the process dying of SIGBUS
# at its first write into the block. The block goes to /run/user/UID, else $XDG_RUNTIME_DIR,
# else /dev/shm. Skipped (status 77) where a mount namespace cannot be made.
# usage: smallshm.sh VSTBUS PEER
set -u
vstbus=$1
peer=$2
run=
if [ -z "${SMALLSHM_INSIDE:-}" ]; then
    if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
        echo "SKIP: no private mount namespace here (needs root and unshare -m)"
        exit 77
    fi
    exec unshare -m env SMALLSHM_INSIDE=1 sh "$0" "$@"
fi
. "$(dirname "$0")/common.sh"
uid=$(id -u)
name="vstbusbuffer.$CORVELLA_VSTBUS_SCOPE.$uid"
unset XDG_RUNTIME_DIR
# 128 kB: less than the 64 pages of the records' headers, which every first attach writes.

mount -t tmpfs -o size=128k tmpfs /dev/shm || fail "cannot mount on /dev/shm"
mount -t tmpfs -o size=128k,mode=755 tmpfs /run/user 2>/dev/null ||
    { mkdir -p /run/user && mount -t tmpfs -o size=128k,mode=755 tmpfs /run/user; } ||
    fail "cannot mount on /run/user"
mkdir -p "$tmp/xdg"
mount -t tmpfs -o size=128k,mode=700 tmpfs "$tmp/xdg" || fail "cannot mount the runtime folder"
trap 'umount "$tmp/xdg"; cleanup' EXIT

tooSmall() {  # tooSmall DIR: attaching fails, names DIR, and leaves no file there
    "$vstbus" list >/dev/null 2>"$tmp/err.out"
    status=$?
    [ $status -eq 1 ] || fail "a block in a full $1 answered $status: $(cat "$tmp/err.out")"
    grep -q "Unable to create memory map: no room for the 8389504 bytes of $1/$name" \
        "$tmp/err.out" || fail "a block in a full $1 said: $(cat "$tmp/err.out")"
    [ ! -e "$1/$name" ] || fail "a failed attach left $1/$name behind"
}

mkdir -m 700 "/run/user/$uid"
tooSmall "/run/user/$uid"
# A runtime folder that others may write to is not used.
chmod 755 "/run/user/$uid"
XDG_RUNTIME_DIR="$tmp/xdg" tooSmall "$tmp/xdg"
tooSmall /dev/shm

# With room the block lives in the runtime folder, closed to others, while somebody holds it.
chmod 700 "/run/user/$uid"
mount -t tmpfs -o size=16m,mode=755 tmpfs /run/user || fail "cannot mount a larger /run/user"
mkdir -m 700 "/run/user/$uid"
XDG_RUNTIME_DIR="$tmp/xdg" "$peer" hold "$tmp/stop" >"$tmp/hold.out" &
waitReady "$tmp/hold.out"
[ "$(stat -c %a "/run/user/$uid/$name")" = 600 ] || fail "the block is not in /run/user/$uid"
"$vstbus" send 2 0x90 1 1 || fail "send answered $?"
"$vstbus" list | grep -q '^2 .* 1$' || fail "the message is not waiting"
touch "$tmp/stop"
wait
[ ! -e "/run/user/$uid/$name" ] || fail "the last participant left the block behind"
echo "small memory file systems: ok"
