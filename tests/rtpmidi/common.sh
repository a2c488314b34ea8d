# Shared by the RTP-MIDI script tests: the bus tests' temporary folder, settings, private buses
# and fail(), plus waiting for a line in a program's output.
. "$(dirname "$0")/../vstbus/common.sh"

# Waits until FILE holds a line matching PATTERN (grep -E), at most 20 seconds.
waitFor() {
    i=0
    while ! grep -Eq "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 200 ] || fail "no '$2' in $1: $(cat "$1" 2>/dev/null)"
        sleep 0.1
    done
}
