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
