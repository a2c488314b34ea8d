"""Prints subject/baseline time ratios from a Google Benchmark JSON file.

Benchmarks name their pairs GROUP_Baseline and GROUP_Subject (the part before the first '_'
after 'BM_' is the group). Extra arguments after the name (".../512") are kept in the group.
"""
import json
import sys

data = json.load(open(sys.argv[1]))
runs = [b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
baselines = {}
for b in runs:
    name = b["name"]
    core = name[3:] if name.startswith("BM_") else name
    group, _, rest = core.partition("_")
    subject, _, args = rest.partition("/")
    key = (group, args)
    if subject == "Baseline":
        baselines[key] = b["real_time"]
for b in runs:
    name = b["name"]
    core = name[3:] if name.startswith("BM_") else name
    group, _, rest = core.partition("_")
    subject, _, args = rest.partition("/")
    base = baselines.get((group, args))
    if subject == "Baseline" or base is None or base == 0:
        continue
    print(f"ratio {group}: {subject} / Baseline = {b['real_time'] / base:.2f}")
