# Shared by the vstbus script tests: a private temporary folder, settings and buses, and under
# Wine one prefix for all the programs of a test (the run's WINEPREFIX when it has one).
tmp=$(mktemp -d /tmp/vstbus-test.XXXXXX)
export XDG_CONFIG_HOME="$tmp/config"
export CORVELLA_VSTBUS_SCOPE="test.$$"
mkdir -p "$XDG_CONFIG_HOME"
madePrefix=
if [ -n "${run:-}" ] && [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="$tmp/wine"
    madePrefix=1
fi
cleanup() {
    touch "$tmp/stop"
    wait 2>/dev/null || true
    if [ -n "$madePrefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits until FILE holds a line "ready" (the participant attached).
waitReady() {
    i=0
    while ! grep -q ready "$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 600 ] || fail "no participant came up ($1)"
        sleep 0.1
    done
}

# Every message of every writer was received or counted as dropped by its writer:
# checkDelivery DRAIN-OUTPUT SEND-OUTPUT...
checkDelivery() {
    drained=$1
    shift
    for sent in "$@"; do
        numbers=$(tr -d '\r' <"$sent" |
            sed -n 's/^writer \([0-9]*\) sent \([0-9]*\) .*; dropped \([0-9]*\)$/\1 \2 \3/p')
        [ -n "$numbers" ] || fail "no count from the sender: $(cat "$sent")"
        set -- $numbers
        got=$(tr -d '\r' <"$drained" | sed -n "s/^writer $1: received \([0-9]*\) of.*/\1/p")
        [ -n "$got" ] || fail "the reader says nothing of writer $1"
        [ $((got + $3)) -eq "$2" ] ||
            fail "writer $1 sent $2: $got received and $3 counted as dropped"
    done
}
