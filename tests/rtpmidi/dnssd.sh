#!/bin/sh
# DNS-SD through a private Avahi daemon on a private system bus. Without a daemon on the bus:
# the listening bridge says so in one line and works all the same (another bridge opens a
# session with it and a message crosses), and --browse answers 1 with one line. With a daemon
# (it needs avahi-daemon and root, else the rest is skipped with the reason): an announced
# bridge is listed by name with its port, a --no-announce one is not.
# usage: dnssd.sh VSTBUS BASEPORT
set -u
vstbus=$1
base=$2
. "$(dirname "$0")/common.sh"

command -v dbus-daemon >/dev/null 2>&1 || { echo "SKIPPED: dbus-daemon is not installed"; exit 77; }
cat >"$tmp/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$tmp/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$tmp/bus.conf" --nofork --print-address=1 >"$tmp/bus.out" 2>&1 &
# Everything this test started ends with it, also when it fails.
pids=$!
trap 'kill $pids 2>/dev/null; cleanup' EXIT
waitFor "$tmp/bus.out" "unix:"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$tmp/system_bus_socket"
scopeB="$CORVELLA_VSTBUS_SCOPE.b"

# No daemon on the bus.
"$vstbus" rtp --from 1 --to 2 --listen 127.0.0.1:"$base" --name "plain" 2>"$tmp/a.err" &
a=$!
pids="$pids $a"
waitFor "$tmp/a.err" "listening"
waitFor "$tmp/a.err" "not announced: "
[ "$(grep -c "announce" "$tmp/a.err")" -eq 1 ] || fail "more than one line: $(cat "$tmp/a.err")"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" rtp --from 1 --to 2 --connect 127.0.0.1:"$base" \
    2>"$tmp/b.err" &
b=$!
pids="$pids $b"
waitFor "$tmp/a.err" "session opened"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" send 1 0x90 60 100 || fail "send failed"
timeout 20 "$vstbus" watch 2 --count 1 >"$tmp/a.out" || fail "nothing came: $(cat "$tmp/a.err")"
[ "$(cut -c1-8 "$tmp/a.out")" = "90 3C 64" ] || fail "the bridge passed $(cat "$tmp/a.out")"
"$vstbus" rtp --browse --seconds 1 >"$tmp/browse.out" 2>"$tmp/browse.err"
status=$?
[ $status -eq 1 ] || fail "--browse without a daemon answered $status"
[ "$(grep -c . "$tmp/browse.err")" -eq 1 ] && grep -q "not available" "$tmp/browse.err" ||
    fail "--browse without a daemon said: $(cat "$tmp/browse.err")"
kill -TERM $b $a
wait $b
wait $a || fail "the bridge without a daemon ended with status $?"

# A daemon of this test's own on the private bus, on loopback only.
daemon=$(command -v avahi-daemon || ls /usr/sbin/avahi-daemon 2>/dev/null)
[ -n "$daemon" ] || { echo "SKIPPED: avahi-daemon is not installed (scripts/setup.sh installs it)"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: a private avahi-daemon needs root"; exit 77; }
cat >"$tmp/avahi.conf" <<CONF
[server]
host-name=corvella-dnssd-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
disallow-other-stacks=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
"$daemon" --no-drop-root --no-chroot --no-rlimits --no-proc-title -f "$tmp/avahi.conf" \
    >"$tmp/avahi.out" 2>&1 &
avahi=$!
pids="$pids $avahi"
i=0
while ! grep -q "Server startup complete" "$tmp/avahi.out"; do
    kill -0 $avahi 2>/dev/null && [ $i -lt 100 ] || {
        echo "SKIPPED: the private avahi-daemon did not start: $(tail -n 3 "$tmp/avahi.out")"
        exit 77
    }
    i=$((i + 1))
    sleep 0.1
done

"$vstbus" rtp --from 1 --to 2 --listen 127.0.0.1:"$base" --name "shown $$" 2>"$tmp/shown.err" &
shown=$!
pids="$pids $shown"
CORVELLA_VSTBUS_SCOPE=$scopeB "$vstbus" rtp --from 1 --to 2 --listen 127.0.0.1:$((base + 2)) \
    --name "hidden $$" --no-announce 2>"$tmp/hidden.err" &
hidden=$!
pids="$pids $hidden"
waitFor "$tmp/shown.err" "listening"
waitFor "$tmp/hidden.err" "listening"
"$vstbus" rtp --browse --seconds 3 >"$tmp/browse.out" 2>"$tmp/browse.err" ||
    fail "--browse failed: $(cat "$tmp/browse.err")"
grep -q "^shown $$	.*:$base\$" "$tmp/browse.out" ||
    fail "the announced bridge is not listed: $(cat "$tmp/browse.out" "$tmp/browse.err")"
! grep -q "hidden $$" "$tmp/browse.out" || fail "the --no-announce bridge is listed"
grep -q "announce" "$tmp/shown.err" && fail "the announced bridge said: $(cat "$tmp/shown.err")"
kill -TERM $shown $hidden
wait $shown $hidden
kill $avahi
echo "dnssd: passed"
