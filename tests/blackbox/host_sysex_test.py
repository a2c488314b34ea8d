"""SysEx end to end through the built plug-in with "Pass and log system exclusive" on: a MIDI file
with a 70,000-byte dump (longer than one track event's block) and a short SysEx between notes goes in with corvella-host --in; the log lines,
the saved recording and the file of what the plug-in sent (--out) are compared byte for byte,
read back by mido. With the option off the SysEx is skipped as before.

usage: host_sysex_test.py CORVELLA_HOST PLUGIN WORKDIR [RUNNER]
"""
import os
import shutil
import subprocess
import sys

import mido

HOST, PLUGIN, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
RUNNER = sys.argv[4:]
failures = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "\n     " + str(detail)[:2000]))
    if not ok:
        failures.append(what)


def set_option(on):
    if RUNNER:
        # Windows builds keep the option in the registry of the Wine prefix.
        subprocess.run(RUNNER + ["reg", "add", "HKCU\\Software\\Corvella", "/v", "SysEx", "/t",
                                 "REG_DWORD", "/d", "1" if on else "0", "/f"],
                       capture_output=True, check=True, timeout=120)
        return
    conf = os.path.join(WORK, "config", "corvella", "Software")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, "Corvella.conf"), "w") as f:
        f.write("SysEx=dword:%d\n" % (1 if on else 0))


def run(*args):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(WORK, "config"))
    r = subprocess.run(RUNNER + [HOST, PLUGIN] + list(args), capture_output=True, text=True,
                       timeout=300, cwd=WORK, env=env)
    return r.returncode, r.stdout.replace("\r", ""), r.stderr.replace("\r", "")


def messages(path):
    """The file's messages as [type, tick, SysEx data bytes or note]. A SysEx longer than a track
    event's block is saved as an F0 packet and F7 continuation packets at one tick, which mido
    reads as SysEx messages of their own: they are joined (no two SysEx here share a tick)."""
    out = []
    for t in mido.MidiFile(path).tracks:
        at = 0
        for m in t:
            at += m.time
            if m.is_meta:
                continue
            if m.type == "sysex" and out and out[-1][0] == "sysex" and out[-1][1] == at:
                out[-1][2].extend(m.data)
            else:
                out.append([m.type, at, list(m.data) if m.type == "sysex" else
                            getattr(m, "note", None)])
    return out


def sysex_data(path):
    """The data bytes (between F0 and F7) of every SysEx in the file, in order."""
    return [data for kind, _, data in messages(path) if kind == "sysex"]


def notes(path):
    return [(kind, note) for kind, _, note in messages(path) if kind in ("note_on", "note_off")]


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)

# 70,000 bytes from F0 to F7, more than a track event's 65,535-byte block: mido writes one
# event, which the reader divides into packets and the host joins again; every data value occurs.
dump = [(i * 7 + i // 128) % 128 for i in range(69998)]
short = [0x7E, 0x7F, 0x06, 0x01]
song = mido.MidiFile(ticks_per_beat=192)
track = mido.MidiTrack()
song.tracks.append(track)
track.append(mido.Message("note_on", note=60, velocity=100, time=0))
track.append(mido.Message("sysex", data=dump, time=48))
track.append(mido.Message("note_off", note=60, velocity=0, time=48))
track.append(mido.Message("sysex", data=short, time=48))
track.append(mido.Message("note_on", note=62, velocity=90, time=0))
song.save(os.path.join(WORK, "in.mid"))

# Option on: passed, logged, recorded.
set_option(True)
rc, out, err = run("--in", "in.mid", "--out", "out.mid", "--log", "--save-log", "log.mid",
                   "--stats")
check(rc == 0, "run with the option on", err)
check("SysEx dropped: 0" in out.splitlines() and
      "refused by the full recording: 0" in out.splitlines(), "--stats: nothing dropped", out)
# The knobs' first words (B0 00 00) come before the file's.
sent = [l.split(": ", 1)[1] for l in out.splitlines() if " frame " in l and "B0 00 00" not in l]
check(sent == ["90 3C 64", "sysex 70000 bytes", "80 3C 00", "sysex 6 bytes", "90 3E 5A"],
      "the host gets every message once, in order", sent)
lines = [l.split(": ", 1)[1] for l in out.splitlines()
         if l.startswith("block ") and " frame " not in l]
big = [l for l in lines if l.startswith("System Exclusive 70000 bytes: F0 ")]
check(len(big) == 1 and big[0].endswith(" ... F7") and len(big[0]) < 255,
      "the dump's log line: size, first bytes, cut with ... in the line only", lines)
check("System Exclusive 6 bytes: F0 7E 7F 06 01 F7" in lines, "the short SysEx's log line",
      lines)
check(sysex_data(os.path.join(WORK, "out.mid")) == [dump, short],
      "--out holds both SysEx byte for byte (mido)")
check(notes(os.path.join(WORK, "out.mid")) == [("note_on", 60), ("note_off", 60),
                                               ("note_on", 62)], "--out keeps the notes")
check(sysex_data(os.path.join(WORK, "log.mid")) == [dump, short],
      "the saved recording holds both SysEx byte for byte (mido)")
order = [kind for kind, _, _ in messages(os.path.join(WORK, "log.mid"))]
check(order == ["note_on", "sysex", "note_off", "sysex", "note_on"],
      "the recording keeps the order", order)

# The saved recording plays back through the plug-in again (our reader), still byte-exact.
rc, out, err = run("--in", "log.mid", "--out", "again.mid")
check(rc == 0 and sysex_data(os.path.join(WORK, "again.mid")) == [dump, short],
      "a saved recording played back with --in gives the same SysEx", err)

# With a delay longer than the gaps between the messages, the SysEx waits as the words do and
# the host still gets everything in the file's order (8 = "delay output?", 7 = the delay).
# Without --blocks the run goes on past the file's end until the delayed messages are out, and
# --out holds them at their delayed times.
rc, out, err = run("--in", "in.mid", "--out", "delayed.mid", "--set", "8=1", "--set",
                   "7=20000/32767")
delayed = [l.split(": ", 1)[1] for l in out.splitlines() if " frame " in l and "B0 00 00" not in l]
check(rc == 0 and delayed == ["90 3C 64", "sysex 70000 bytes", "80 3C 00", "sysex 6 bytes",
                              "90 3E 5A"], "with the delay on the order is kept", (err, delayed))
ticks = [(kind, at) for kind, at, _ in messages(os.path.join(WORK, "delayed.mid"))
         if kind in ("note_on", "note_off", "sysex")]
# 192 ticks a beat at 120 bpm: 384 ticks a second; 20,001 frames at 44,100 Hz are 174 ticks,
# and without sample-accurate output a delayed message leaves within its block (4.5 ticks).
check([t for t, _ in ticks] == ["note_on", "sysex", "note_off", "sysex", "note_on"] and
      all(abs(a - (b + 174)) <= 5 for (_, a), b in zip(ticks, [0, 48, 96, 144, 144])),
      "--out holds every delayed message, the last one too, 20,001 frames late", ticks)

# Option off: SysEx skipped as before, nothing else changes.
set_option(False)
rc, out, err = run("--in", "in.mid", "--out", "off.mid", "--log", "--save-log", "off-log.mid")
check(rc == 0, "run with the option off", err)
check(sysex_data(os.path.join(WORK, "off.mid")) == [] and
      notes(os.path.join(WORK, "off.mid")) == [("note_on", 60), ("note_off", 60),
                                               ("note_on", 62)],
      "with the option off the host gets the notes only")
check(not any(l.startswith("block ") and "System Exclusive" in l for l in out.splitlines()),
      "with the option off nothing is logged for SysEx", out)
check(sysex_data(os.path.join(WORK, "off-log.mid")) == [], "and nothing is recorded")

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("all checks passed")
