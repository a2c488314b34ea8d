#!/bin/sh
# scripts/setup.sh against stand-in apt-get, dpkg, dpkg-query, id and sudo on PATH, without the
# network: a registry in mid-sync (update fails, the first install cannot be resolved) is
# survived by one retry against the release; an unresolvable package is named; a user without
# sudo is told what to do; nothing is installed when nothing is missing.
# usage: setup_test.sh SETUP_SCRIPT
set -u
setup=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")

bin=$tmp/bin
mkdir -p "$bin"
# Only these tools are on PATH, so a real sudo or apt-get can never be reached.
for tool in env grep cat sed tr bash; do ln -s "$(command -v $tool)" "$bin/$tool"; done
cat >"$bin/apt-get" <<'FAKE'
#!/bin/sh
# Logs each call; FAKE_UPDATE is update's status; FAKE_BAD names a package no install resolves,
# and without -t every install fails as in a registry in mid-sync.
echo "apt-get $*" >>"$FAKE_LOG"
[ "$1" = update ] && exit "${FAKE_UPDATE:-0}"
case " $* " in *" -t "*) ;; *) exit 100 ;; esac
[ -n "${FAKE_BAD:-}" ] && case " $* " in *" $FAKE_BAD "*) exit 100 ;; esac
exit 0
FAKE
cat >"$bin/dpkg-query" <<'FAKE'
#!/bin/sh
# Every package is installed when FAKE_ALL is set, none otherwise.
[ -n "${FAKE_ALL:-}" ] && printf 'install ok installed' && exit 0
exit 1
FAKE
cat >"$bin/dpkg" <<'FAKE'
#!/bin/sh
[ "$1" = --print-foreign-architectures ] && echo i386 && exit 0
echo "dpkg $*" >>"$FAKE_LOG"
FAKE
printf '#!/bin/sh\necho "${FAKE_UID:-0}"\n' >"$bin/id"
printf '#!/bin/sh\necho "sudo $*" >>"$FAKE_LOG"\nexec "$@"\n' >"$tmp/sudo"
chmod +x "$bin"/* "$tmp/sudo"

run() {  # run NAME [VAR=VALUE...]: setup.sh's status in $status, its output in $tmp/NAME.out
    name=$1
    shift
    : >"$tmp/$name.log"
    env -i PATH="$bin" FAKE_LOG="$tmp/$name.log" "$@" bash "$setup" >"$tmp/$name.out" 2>&1
    status=$?
}

run midsync FAKE_UPDATE=100
[ "$status" -eq 0 ] || fail "mid-sync: status $status: $(cat "$tmp/midsync.out")"
grep -q 'warning: apt-get update failed' "$tmp/midsync.out" || fail "mid-sync: no update warning"
grep -q "^apt-get install .* -t $codename .*libgtest-dev" "$tmp/midsync.log" ||
    fail "mid-sync: no retry against $codename: $(cat "$tmp/midsync.log")"
[ "$(grep -c '^apt-get install' "$tmp/midsync.log")" -eq 2 ] || fail "mid-sync: not exactly one retry"

run unresolvable FAKE_BAD=midicsv
[ "$status" -eq 1 ] || fail "unresolvable: status $status"
grep -qx 'setup: cannot install: midicsv' "$tmp/unresolvable.out" ||
    fail "unresolvable: the package is not named: $(tail -n 1 "$tmp/unresolvable.out")"

run nosudo FAKE_UID=1000
[ "$status" -eq 1 ] || fail "no sudo: status $status"
grep -q 'run this as root, or as a user with sudo' "$tmp/nosudo.out" || fail "no sudo: no advice"
[ ! -s "$tmp/nosudo.log" ] || fail "no sudo: apt-get ran: $(cat "$tmp/nosudo.log")"

cp "$tmp/sudo" "$bin/sudo"
run withsudo FAKE_UID=1000
[ "$status" -eq 0 ] || fail "with sudo: status $status"
grep -q '^sudo env DEBIAN_FRONTEND=noninteractive apt-get install' "$tmp/withsudo.log" ||
    fail "with sudo: the install did not go through sudo"

run present FAKE_ALL=1
[ "$status" -eq 0 ] && grep -qx 'setup: all packages present' "$tmp/present.out" ||
    fail "all present: status $status: $(cat "$tmp/present.out")"
[ ! -s "$tmp/present.log" ] || fail "all present: apt-get ran"

[ "$fails" -eq 0 ] && echo "setup.sh: retry, unresolvable package, sudo and no-op cases ok"
exit "$fails"
