#!/usr/bin/env bash
# Runs every benchmark program of the native build and prints each subject's time as a ratio
# to the baseline measured in the same run. Benchmarks name their pairs GROUP_Baseline and
# GROUP_Subject; the ratio is subject / baseline. bench_peers (Corvella's binary against the
# ideal pass-through, the logging limit and x42's MIDI filters) also prints each comparison
# with its target, pass or MISS; a missed target does not fail the script.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/linux/bench
[ -d "$dir" ] || { cmake --preset linux >/dev/null; cmake --build --preset linux; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
for b in "$dir"/bench_*; do
    [ -x "$b" ] || continue
    name=$(basename "$b")
    echo "--- $name"
    "$b" --benchmark_min_time=0.2 --benchmark_out="$out/$name.json" --benchmark_out_format=json \
        --benchmark_format=console 2>&1 | grep -v '^\*\*\*' || { echo "FAILED: $name"; exit 1; }
    /usr/bin/python3 scripts/bench_ratios.py "$out/$name.json"
done
