"""Files written by python3-mido and by csvmidi load; saved back, they read the same with mido
and midicsv, and are byte-identical where the encoding allows. RIFF-wrapped copies load too,
and damaged copies fail with a clean error.

usage: thirdparty_test.py ROUNDTRIP_TOOL WORKDIR
"""
import os
import shutil
import struct
import subprocess
import sys

import mido

TOOL, WORK = sys.argv[1], sys.argv[2]
failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passes if ok else failures).append(what)


def roundtrip(src, dst):
    r = subprocess.run([TOOL, src, dst], capture_output=True, text=True)
    return r.returncode, r.stdout


def mido_view(path):
    f = mido.MidiFile(path)
    return f.type, f.ticks_per_beat, [[(m.time, m) for m in t] for t in f.tracks]


def rmid(smf):
    data = b"data" + struct.pack("<I", len(smf)) + smf + (b"\0" if len(smf) % 2 else b"")
    listed = b"INFO" + b"ISFT" + struct.pack("<I", 2) + b"x\0"
    info = b"LIST" + struct.pack("<I", len(listed)) + listed
    body = b"RMID" + info + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def mido_files():
    """(name, MidiFile) pairs covering the formats and the kinds of event."""
    out = []
    # Format 0, one track: notes with running status, controllers, pitch wheel, sysex.
    f = mido.MidiFile(type=0, ticks_per_beat=480)
    t = mido.MidiTrack()
    f.tracks.append(t)
    t.append(mido.MetaMessage("track_name", name="zero"))
    t.append(mido.MetaMessage("set_tempo", tempo=600000))
    t.append(mido.Message("program_change", program=12, channel=2))
    for i in range(40):
        t.append(mido.Message("note_on", note=40 + i, velocity=90, time=0 if i == 0 else 60))
        t.append(mido.Message("note_on", note=40 + i, velocity=0, time=100))
    t.append(mido.Message("control_change", control=7, value=99, channel=2, time=5))
    t.append(mido.Message("pitchwheel", pitch=-4000, channel=2, time=5))
    t.append(mido.Message("sysex", data=[0x43, 0x12, 0x00, 0x01], time=7))
    t.append(mido.Message("aftertouch", value=30, time=1))
    t.append(mido.Message("polytouch", note=60, value=20, time=1))
    t.append(mido.MetaMessage("end_of_track", time=20000))
    out.append(("mido-format0", f))

    # Format 1, several tracks: a tempo map track and music tracks, meta events of many kinds.
    f = mido.MidiFile(type=1, ticks_per_beat=96)
    conductor = mido.MidiTrack()
    conductor += [
        mido.MetaMessage("track_name", name="conductor"),
        mido.MetaMessage("time_signature", numerator=6, denominator=8),
        mido.MetaMessage("key_signature", key="Eb"),
        mido.MetaMessage("set_tempo", tempo=500000),
        mido.MetaMessage("marker", text="A", time=384),
        mido.MetaMessage("set_tempo", tempo=1000000),
        mido.MetaMessage("text", text="long " * 40, time=96),
        mido.MetaMessage("sequencer_specific", data=[0, 0, 0x41, 1]),
        mido.MetaMessage("smpte_offset", hours=1, minutes=2, seconds=3, frames=4, sub_frames=5),
    ]
    f.tracks.append(conductor)
    for ch in range(3):
        t = mido.MidiTrack()
        t.append(mido.MetaMessage("track_name", name="part %d" % ch))
        t.append(mido.Message("program_change", program=ch * 10, channel=ch))
        for i in range(30):
            t.append(mido.Message("note_on", note=60 + ch, velocity=64, channel=ch, time=24))
            t.append(mido.Message("note_off", note=60 + ch, velocity=10, channel=ch, time=24))
            t.append(mido.Message("control_change", control=1, value=i, channel=ch, time=0))
        t.append(mido.Message("sysex", data=list(range(0, 120)), time=3))
        t.append(mido.Message("aftertouch", value=5, channel=ch, time=1))
        f.tracks.append(t)
    out.append(("mido-format1", f))

    # SMPTE division (25 frames of 40 subframes) and format 2.
    f = mido.MidiFile(type=2, ticks_per_beat=-((25 << 8) - 40))
    for n in range(2):
        t = mido.MidiTrack()
        t.append(mido.Message("note_on", note=70 + n, velocity=1, time=1000))
        t.append(mido.Message("note_off", note=70 + n, time=1))
        f.tracks.append(t)
    out.append(("mido-smpte-format2", f))
    return out


CSV = """0, 0, Header, 1, 3, 240
1, 0, Start_track
1, 0, Title_t, "csv tempo map"
1, 0, Tempo, 400000
1, 0, Time_signature, 3, 2, 24, 8
1, 960, Tempo, 800000
1, 1200, Marker_t, "B"
1, 1200, End_track
2, 0, Start_track
2, 0, Program_c, 0, 19
2, 0, Note_on_c, 0, 60, 100
2, 120, Note_on_c, 0, 64, 100
2, 240, Note_off_c, 0, 60, 0
2, 240, Note_off_c, 0, 64, 0
2, 250, Pitch_bend_c, 0, 9000
2, 260, Control_c, 0, 10, 1
2, 260, Control_c, 0, 11, 2
2, 300, System_exclusive, 5, 67, 16, 76, 0, 247
2, 400, Note_on_c, 0, 72, 1
2, 800, Note_off_c, 0, 72, 1
2, 800, End_track
3, 0, Start_track
3, 0, Text_t, "notes on nine"
3, 0, Poly_aftertouch_c, 9, 36, 20
3, 10, Channel_aftertouch_c, 9, 30
3, 20, Note_on_c, 9, 36, 127
3, 21, Note_on_c, 9, 36, 0
3, 22, Sequencer_specific, 3, 0, 0, 65
3, 30, End_track
0, 0, End_of_file
"""


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    sources = []
    for name, f in mido_files():
        path = os.path.join(WORK, name + ".mid")
        f.save(path)
        sources.append((name, path, True))
    csv = os.path.join(WORK, "csv.csv")
    with open(csv, "w") as h:
        h.write(CSV)
    for flags, name in (([], "csvmidi"), (["-x"], "csvmidi-x")):
        path = os.path.join(WORK, name + ".mid")
        r = subprocess.run(["csvmidi"] + flags + [csv, path], capture_output=True, text=True)
        check(r.returncode == 0, "%s writes the CSV file (%s)" % (name, r.stderr.strip()))
        sources.append((name, path, name == "csvmidi"))

    for name, src, expect_same_bytes in sources:
        saved = os.path.join(WORK, name + "-saved.mid")
        code, out = roundtrip(src, saved)
        check(code == 0, "%s loads and saves: %s" % (name, out.splitlines()[0] if out else ""))
        if code:
            continue
        check(mido_view(saved) == mido_view(src), "%s: mido reads the same messages" % name)
        with open(src, "rb") as a, open(saved, "rb") as b:
            original, written = a.read(), b.read()
        if expect_same_bytes:
            check(original == written, "%s: saved bytes are identical" % name)
        m1 = subprocess.run(["midicsv", src], capture_output=True, text=True).stdout
        m2 = subprocess.run(["midicsv", saved], capture_output=True, text=True).stdout
        check(m1 == m2 and m1 != "", "%s: midicsv reads the same records" % name)

        # The same file inside a RIFF MIDI container.
        rmi = os.path.join(WORK, name + ".rmi")
        with open(rmi, "wb") as h:
            h.write(rmid(original))
        from_riff = os.path.join(WORK, name + "-riff.mid")
        code, out = roundtrip(rmi, from_riff)
        check(code == 0 and "riff 1" in out, "%s.rmi loads as RIFF" % name)
        with open(from_riff, "rb") as h:
            check(h.read() == written, "%s.rmi saves the same file as the plain one" % name)

        # Cut short, or with a last chunk that ends inside its End of Track: a clean error,
        # never a crash.
        last = original.rfind(b"MTrk")
        length = struct.unpack(">I", original[last + 4:last + 8])[0]
        shortened = original[:last + 4] + struct.pack(">I", length - 2) + original[last + 8:]
        for cut in (len(original) - 1, len(original) - 3, len(original) // 2, None):
            damaged = os.path.join(WORK, name + "-cut.mid")
            with open(damaged, "wb") as h:
                h.write(original[:cut] if cut else shortened)
            code, out = roundtrip(damaged, os.path.join(WORK, "unused.mid"))
            check(code == 1 and out.startswith("error: "),
                  "%s cut to %s bytes fails cleanly (%s)" % (name, cut or "chunk - 2", out.strip()))

    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


sys.exit(main())
