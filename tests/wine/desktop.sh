#!/bin/sh
# Starts or stops the desktop keeper (desktop_keeper.cpp) in the run's Wine prefix.
# Without a prefix given, every Windows test program makes a prefix of its own and there is
# nothing to share, so there is nothing to do.
#
# usage: desktop.sh start KEEPER.exe READY_FILE | desktop.sh stop READY_FILE
set -u
[ -n "${WINEPREFIX:-}" ] || exit 0
here=$(dirname "$0")
case "$1" in
start)
    rm -f "$3"
    # Where the keeper cannot run, neither can the tests that need the desktop: they are skipped.
    "$here/wine-run" --check "$2" >/dev/null || exit 0
    # Detached from ctest's pipes: whatever Wine starts from here must not hold them open.
    setsid "$here/wine-run" "$2" "$3" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 1 600); do
        [ -e "$3" ] && exit 0
        sleep 0.1
    done
    echo "the Wine desktop did not start within 60 s" >&2
    exit 1
    ;;
stop)
    rm -f "$2"
    ;;
*)
    echo "usage: desktop.sh start KEEPER.exe READY_FILE | desktop.sh stop READY_FILE" >&2
    exit 2
    ;;
esac
