#!/usr/bin/env bash
# Sets up the machine, builds every preset and runs every test: native, AddressSanitizer +
# UndefinedBehaviorSanitizer, ThreadSanitizer, then both Windows builds under Wine in a fresh
# prefix, then the benchmarks. Stops at the first failure.
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
build_and_test win32
build_and_test win64

stage "benchmarks"
bash scripts/bench.sh

stage "all tests passed"
