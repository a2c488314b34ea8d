"""corvella-host --in/--out with the plug-in's defaults passes every channel message through:
mido reads the same messages from the output at the same times (after the plug-in's own
start-up message).

usage: host_test.py CORVELLA_HOST PLUGIN WORKDIR
"""
import os
import shutil
import subprocess
import sys

import mido

HOST, PLUGIN, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passes if ok else failures).append(what)


def channel_messages(path):
    """(seconds, ticks, bytes) of every channel message, all tracks merged."""
    f = mido.MidiFile(path)
    out, seconds = [], 0.0
    for m in f:  # merged, times in seconds under the tempo map
        seconds += m.time
        if not m.is_meta and m.type != "sysex":
            out.append((seconds, m.bytes()))
    return f, out


def abs_ticks(f):
    t, out = 0, []
    for m in mido.merge_tracks(f.tracks):
        t += m.time
        if not m.is_meta and m.type != "sysex":
            out.append(t)
    return out


def music(division, tempos, fmt=1):
    f = mido.MidiFile(type=fmt, ticks_per_beat=division)
    conductor = mido.MidiTrack()
    last = 0
    for tick, tempo in tempos:
        conductor.append(mido.MetaMessage("set_tempo", tempo=tempo, time=tick - last))
        last = tick
    conductor.append(mido.MetaMessage("time_signature", numerator=3, denominator=4))
    parts = [conductor]
    for ch in range(2):
        t = mido.MidiTrack()
        t.append(mido.MetaMessage("track_name", name="part %d" % ch))
        t.append(mido.Message("program_change", program=5 + ch, channel=ch))
        t.append(mido.Message("control_change", control=7, value=100, channel=ch))
        for i in range(24):
            t.append(mido.Message("note_on", note=48 + i + ch, velocity=90, channel=ch,
                                  time=0 if i == 0 else division // 2))
            t.append(mido.Message("note_off", note=48 + i + ch, velocity=40, channel=ch,
                                  time=division // 4))
            if i % 6 == 0:
                t.append(mido.Message("pitchwheel", pitch=100 * i, channel=ch))
                t.append(mido.Message("aftertouch", value=i, channel=ch))
                t.append(mido.Message("polytouch", note=48 + i, value=3, channel=ch))
        t.append(mido.Message("sysex", data=[0x7E, 0x7F, 0x09, 0x01], time=1))
        parts.append(t)
    if fmt == 0:
        merged = mido.MidiTrack(mido.merge_tracks(parts))
        f.tracks.append(merged)
    else:
        f.tracks.extend(parts)
    return f


def run(name, f, rate, block, exact, longest_tick=0.0):
    src = os.path.join(WORK, name + ".mid")
    dst = os.path.join(WORK, name + "-out.mid")
    f.save(src)
    args = [HOST, PLUGIN, "--in", src, "--out", dst]
    if rate:
        args += ["--rate", str(rate)]
    if block:
        args += ["--block", str(block)]
    r = subprocess.run(args, capture_output=True, text=True)
    check(r.returncode == 0, "%s: corvella-host runs (%s)" % (name, r.stderr.strip()))
    if r.returncode:
        return
    fin, a = channel_messages(src)
    fout, b = channel_messages(dst)
    # A new instance first sends knob 1's message, control change 0 value 0 on channel 1.
    startup = bool(b) and b[0][1] == [0xB0, 0, 0]
    check(startup, "%s: the plug-in's start-up message comes first" % name)
    if startup:
        b = b[1:]
    check(fout.type == 0 and len(fout.tracks) == 1 and fout.ticks_per_beat == fin.ticks_per_beat,
          "%s: one track at the input's division" % name)
    check([m for _, m in a] == [m for _, m in b] and len(a) > 0,
          "%s: the same %d channel messages in the same order" % (name, len(a)))
    # Events reach the plug-in at the start of their block; written back they round to a tick.
    tolerance = 1e-9 if exact else (block or 512) / float(rate or 44100) + longest_tick
    worst = max((abs(x - y) for (x, _), (y, _) in zip(a, b)), default=0.0)
    check(worst <= tolerance,
          "%s: times agree within %.6f s (worst %.6f s)" % (name, tolerance, worst))
    if exact:
        check(abs_ticks(fin) == abs_ticks(fout)[1 if startup else 0:], "%s: the same ticks" % name)


def many_events():
    """More channel messages than one track holds come back as format 1 with several tracks,
    none over 99,999 events, the same messages in the same order."""
    division, count = 96, 120000
    f = mido.MidiFile(type=1, ticks_per_beat=division)
    for part in range(2):  # an input track, too, holds at most 99,999 events
        t = mido.MidiTrack()
        for i in range(part * count // 2, (part + 1) * count // 2):
            t.append(mido.Message("control_change", control=20, value=i % 128,
                                  time=0 if i == part * count // 2 else 1))
        f.tracks.append(t)
    f.tracks[1][0].time = count // 2
    src = os.path.join(WORK, "many.mid")
    dst = os.path.join(WORK, "many-out.mid")
    f.save(src)
    r = subprocess.run([HOST, PLUGIN, "--in", src, "--out", dst], capture_output=True,
                       text=True)
    check(r.returncode == 0, "many: corvella-host writes %d events (%s)" %
          (count + 1, r.stderr.strip()[-200:]))
    if r.returncode:
        return
    fout = mido.MidiFile(dst)
    sizes = [sum(1 for m in tr if not m.is_meta) for tr in fout.tracks]
    check(fout.type == 1 and len(fout.tracks) == 2 and max(len(tr) for tr in fout.tracks) <= 99999,
          "many: format 1 with two tracks of at most 99,999 events (%s)" % sizes)
    values = [m.value for m in mido.merge_tracks(fout.tracks) if m.type == "control_change"
              and m.control == 20]
    check(values == [i % 128 for i in range(count)], "many: every message back in order")


def overflowing_ticks():
    """A tempo and division whose ticks pass 32 bits within the run are refused with a
    message, before anything is written."""
    f = mido.MidiFile(type=0, ticks_per_beat=32767)
    t = mido.MidiTrack()
    t.append(mido.MetaMessage("set_tempo", tempo=1))
    t.append(mido.Message("note_on", note=60, velocity=1, time=2000000000))
    f.tracks.append(t)
    src = os.path.join(WORK, "fast.mid")
    dst = os.path.join(WORK, "fast-out.mid")
    f.save(src)
    r = subprocess.run([HOST, PLUGIN, "--in", src, "--out", dst], capture_output=True,
                       text=True)
    check(r.returncode == 2 and "beyond the 32-bit ticks" in r.stderr
          and not os.path.exists(dst), "fast: refused (%s)" % r.stderr.strip())


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    # 48 kHz, 96 ticks per quarter: one tick is 250 frames at 120 bpm and 500 at 60 bpm, so
    # with 250-frame blocks every event falls on a block boundary and times are exact.
    tempos = [(0, 500000), (480, 1000000), (960, 500000)]
    run("format1-tempo-map", music(96, tempos), 48000, 250, True)
    run("format0-tempo-map", music(96, tempos, fmt=0), 48000, 250, True)
    # The host's defaults (44100 Hz, 512 frames): within one block.
    run("format1-defaults", music(480, [(0, 650000), (2000, 400000)]), None, None, False,
        650000 / 480 / 1e6)
    # SMPTE division, 25 frames of 40 ticks: one tick is 48 frames at 48 kHz.
    smpte = music(96, [(0, 500000)])
    smpte.ticks_per_beat = -((25 << 8) - 40)
    run("smpte", smpte, 48000, 48, True)
    many_events()
    overflowing_ticks()

    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


sys.exit(main())
