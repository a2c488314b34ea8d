#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: native, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer, then both Windows builds under Wine in a fresh
# prefix, then the benchmarks. Stops at the first failure. Run it as root or with sudo.
#
# Where this machine cannot run 32-bit programs (a kernel without 32-bit support), the 32-bit
# Windows build is still built and checked as a file (exports, imported DLLs), and its tests
# that start programs are skipped with the reason. CORVELLA_WIN32=on|off|auto (default auto:
# a probe decides) forces either way.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

jobs=$(nproc)
start=$(date +%s)
stage() { printf '\n=== %s (%ss so far)\n' "$*" $(( $(date +%s) - start )); }

build_and_test() {
    local preset=$1
    stage "build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    stage "test $preset"
    ctest --preset "$preset" -j "$jobs"
    # The skipped tests, each with the line it gave as its reason.
    awk '/^[0-9]+\/[0-9]+ Testing: /{name=$3} /^SKIP/{print "skipped " name ": " $0}' \
        "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null || true
}

build_and_test linux
build_and_test linux-asan
build_and_test linux-tsan

# Windows builds run under Wine, in a prefix made for this run only.
WINEPREFIX=$(mktemp -d /tmp/corvella-test-wine.XXXXXX)
export WINEPREFIX
cleanup() {
    WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
stage "create Wine prefix $WINEPREFIX"
"$root/tests/wine/wine-run" wineboot -i >/dev/null 2>&1 || true
if win32=$("$root/tests/wine/wine-run" --probe); then
    echo "32-bit Windows programs run here: every win32 test runs"
else
    echo "32-bit Windows programs cannot run here (${win32#no: }):"
    echo "the win32 build is checked as a file; its tests that start programs are skipped"
fi
build_and_test win32
build_and_test win64

stage "benchmarks"
bash scripts/bench.sh

stage "all tests passed"
