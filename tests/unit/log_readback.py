"""A saved log reads back with third-party readers: mido gives the recorded messages and meta
events at the recorded ticks, and midicsv reads it without error.

usage: log_readback.py LOG_SESSION WORKDIR
"""
import os
import subprocess
import sys

import mido

session, work = sys.argv[1], sys.argv[2]
os.makedirs(work, exist_ok=True)
path = os.path.join(work, "session.mid")
out = subprocess.run([session, path], capture_output=True, text=True, check=True).stdout
expected, sent = [], []
for line in out.split("\n"):
    if not line.strip():
        continue
    if line.startswith("sent "):
        _, seconds, b0, b1, b2 = line.split()
        b0, b1, b2 = int(b0), int(b1), int(b2)
        n = 1 if b0 >= 0xF0 else (2 if (b0 >> 4) in (0xC, 0xD) else 3)
        sent.append((float(seconds), [b0, b1, b2][:n]))
        continue
    tick, kind, b0, b1, b2, b3 = map(int, line.split())
    if kind == 0:
        n = 1 if b0 >= 0xF0 else (2 if (b0 >> 4) in (0xC, 0xD) else 3)
        expected.append((tick, "msg", [b0, b1, b2][:n]))
    elif kind == 1:
        expected.append((tick, "tempo", (b0 << 16) | (b1 << 8) | b2))
    else:
        expected.append((tick, "timesig", (b0, 2 ** b1)))

f = mido.MidiFile(path)
assert f.type == 1 and len(f.tracks) == 1 and f.ticks_per_beat == 192, (f.type, f.ticks_per_beat)
got, t = [], 0
for m in f.tracks[0]:
    t += m.time
    if m.is_meta:
        if m.type == "set_tempo":
            got.append((t, "tempo", m.tempo))
        elif m.type == "time_signature":
            got.append((t, "timesig", (m.numerator, m.denominator)))
        elif m.type == "track_name":
            assert m.name == "Corvella", m.name
    else:
        got.append((t, "msg", m.bytes()))
failures = 0
if got != expected:
    failures += 1
    print("FAIL: mido read\n  %s\nexpected\n  %s" % (got, expected))
# Ticks follow tempo changes: played back with its tempo map, every message sounds in the
# order and at the time it was sent (within a tick at the slowest tempo).
played, now = [], 0.0
for m in f:
    now += m.time
    if not m.is_meta:
        played.append((now, m.bytes()))
if [p[1] for p in played] != [s[1] for s in sent]:
    failures += 1
    print("FAIL: played order\n  %s\nsent\n  %s" % (played, sent))
for (at, msg), (want, sent_msg) in zip(played, sent):
    if abs(at - want) > 60.0 / 60 / 192 + 1e-4:
        failures += 1
        print("FAIL: %s played at %.5f s, sent at %.5f s" % (msg, at, want))
tempos = [g[2] for g in got if g[1] == "tempo"]
if tempos != [1000000, 333333]:
    failures += 1
    print("FAIL: tempo changes %s" % tempos)
kinds = {g[1] for g in got}
for want in ("tempo", "timesig"):
    if want not in kinds:
        failures += 1
        print("FAIL: no %s event" % want)
if not any(g[2] == [0xF8] for g in got) or not any(g[2] == [0xFE] for g in got):
    failures += 1
    print("FAIL: timing clock or active sensing missing")

csv = subprocess.run(["midicsv", path], capture_output=True, text=True)
if csv.returncode != 0 or "Error" in csv.stderr:
    failures += 1
    print("FAIL: midicsv: %s" % csv.stderr)
for want in ("Note_on_c", "Control_c", "Pitch_bend_c", "Program_c", "Tempo", "Time_signature, 6, 3, 24, 8"):
    if want not in csv.stdout:
        failures += 1
        print("FAIL: midicsv shows no %s" % want)
print("ok" if failures == 0 else "%d failures" % failures)
sys.exit(1 if failures else 0)
