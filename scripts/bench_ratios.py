"""Prints time ratios from a Google Benchmark JSON file.

Two kinds of pairs are reported:
- Benchmarks named GROUP_Baseline and GROUP_Subject (the part before the first '_' after
  'BM_' is the group; extra arguments after the name, ".../512", are kept in the group): the
  ratio is subject / baseline.
- Comparisons a benchmark program registers as run context "ratio:NN" with the value
  "description;subject;baseline;target;block|message": the ratio of the medians (and of the
  minimums) of CPU time over the program's repetitions, per block or per message (time divided by the
  benchmark's "messages" counter), or of a counter ("counter:NAME"), printed with pass or MISS
  against the target. A missed target is reported, not an error.
- Values a program registers as run context "value:NN" with "description;benchmark;counter;target":
  the median of the counter over the repetitions, with pass or MISS against the target (at most).
"""
import json
import re
import sys

data = json.load(open(sys.argv[1]))
runs = [b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"]


def split(name):
    core = name[3:] if name.startswith("BM_") else name
    group, _, rest = core.partition("_")
    subject, _, args = rest.partition("/")
    return group, subject, args


baselines = {}
for b in runs:
    group, subject, args = split(b["name"])
    if subject == "Baseline":
        baselines[(group, args)] = b["real_time"]
for b in runs:
    group, subject, args = split(b["name"])
    base = baselines.get((group, args))
    if subject == "Baseline" or base is None or base == 0:
        continue
    print(f"ratio {group}: {subject} / Baseline = {b['real_time'] / base:.2f}")

comparisons = sorted((k, v) for k, v in data.get("context", {}).items() if k.startswith("ratio:"))
values = sorted((k, v) for k, v in data.get("context", {}).items() if k.startswith("value:"))
if not comparisons and not values:
    sys.exit(0)

# Per benchmark name (without "/repeats:N"): every repetition's CPU time in ns and its
# message count. CPU time, because on a shared machine wall time also counts the time other
# processes held the core.
UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
times = {}
errors = {}
for b in runs:
    name = re.sub(r"/repeats:\d+$", "", b["name"])
    if b.get("error_occurred"):
        errors[name] = b.get("error_message", "error")
        continue
    cpu = b["cpu_time"] * UNITS.get(b.get("time_unit", "ns"), 1.0)
    times.setdefault(name, []).append((cpu, b))


def per(name, unit):
    values = []
    for t, b in times.get(name, []):
        if unit.startswith("counter:"):
            values.append(b.get(unit[len("counter:"):], 0.0))
        elif unit == "message" and b.get("messages", 0):
            values.append(t / b["messages"])
        else:
            values.append(t)
    return sorted(values)


def median(values):
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


missed = 0
print(f"{'comparison':<44} {'subject/baseline (median)':>26} {'min':>7} {'target':>8} runs")
for _, value in comparisons:
    what, subject, baseline, target, unit = value.split(";")
    target = float(target)
    s, b = per(subject, unit), per(baseline, unit)
    if not s or not b:
        why = errors.get(subject) or errors.get(baseline) or "not run"
        print(f"{what:<44} {'skipped: ' + why}")
        continue
    if median(b) == 0 or b[0] == 0:
        print(f"{what:<44} {'skipped: the baseline measured 0'}")
        continue
    ratio = median(s) / median(b)
    low = s[0] / b[0]
    verdict = "pass" if ratio <= target else "MISS"
    missed += verdict == "MISS"
    print(f"{what:<44} {ratio:>26.2f} {low:>7.2f} {'<= ' + format(target, 'g'):>8} "
          f"{min(len(s), len(b))}  {verdict}")
for _, value in values:
    what, subject, counter, target = value.split(";")
    v = per(subject, "counter:" + counter)
    if not v:
        print(f"{what:<44} {'skipped: ' + (errors.get(subject) or 'not run')}")
        continue
    verdict = "pass" if median(v) <= float(target) else "MISS"
    missed += verdict == "MISS"
    print(f"{what:<44} {median(v):>26.2f} {v[0]:>7.2f} {'<= ' + target:>8} {len(v)}  {verdict}")
if missed:
    print(f"{missed} of {len(comparisons) + len(values)} targets missed (reported only)")
