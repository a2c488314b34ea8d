"""corvella-host --log, --save-log and --stats with the built plug-in, on every build: the log
lines as printed, the saved recording read back by mido (channel messages) and midicsv (system
messages, saved as escapes that mido cannot read), a saved log played back with --in, the
song's tempo map in a recording, a save that fails, and the readable log's options (statuses
hidden, time prefixes, the shown lines saved as text).

usage: host_log_test.py CORVELLA_HOST PLUGIN WORKDIR [RUNNER]
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
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "\n     " + str(detail)))
    if not ok:
        failures.append(what)


def run(*args, timeout=300, limit=None):
    try:
        r = subprocess.run(RUNNER + [HOST, PLUGIN] + list(args), capture_output=True, text=True,
                           timeout=timeout, cwd=WORK, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        return None, "", "still running after %d s" % timeout
    return r.returncode, r.stdout.replace("\r", ""), r.stderr.replace("\r", "")


def log_lines(out):
    return [l for l in out.splitlines() if l.startswith("block ") and " frame " not in l]


def midicsv(path):
    r = subprocess.run(["midicsv", path], capture_output=True, text=True, check=True)
    return [[f.strip() for f in l.split(",")] for l in r.stdout.splitlines()]


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)

# Every kind of message: channel messages, the three system messages with data bytes (saved
# as escapes), single-byte system messages and a word without a status byte. Frames at 44100 Hz
# and 120 bpm: the clock counts from frame 1, so frame f is tick round((f + 1) x 0.00870778).
sends = [
    (0, "0x90 60 100", "[1] C 5 (60,100) On", 0),
    (1000, "0x80 60 0", "[1] C 5 (60) Off", 9),
    (2000, "0xA1 61 33", "[2] Polyphonic Aftertouch C#5 (33)", 17),
    (3000, "0xB2 66 127", "[3] CCM: Sustenuto On/Off (66,127)", 26),
    (4000, "0xC3 5", "[4] Program Change (5)", 35),
    (5000, "0xD4 90", "[5] Channel Aftertouch (90)", 44),
    (6000, "0xE5 0 64", "[6] Pitchbend (-16384)", 52),
    (7000, "0xF1 33", "MIDI Time Code Qtr. Frame", 61),
    (8000, "0xF2 16 32", "Song Position Pointer", 70),
    (9000, "0xF3 7", "Song Select(Song #)", 78),
    (10000, "0xF6", "Tune request", 87),
    (11000, "0xF8", "Timing clock", 96),
    (12000, "0xFA", "Start", 105),
    (13000, "0xFC", "Stop", 113),
    (14000, "0xFF", "System Reset", 122),
    (15000, "0x45 16 0", "Undefined (69,16,0)", 131),
]
schedule = ",".join("%d:%s" % (f, b) for f, b, _, _ in sends)
rc, out, err = run("--blocks", "32", "--set", "1=0", "--send", schedule, "--log", "--save-log",
                   "all.mid", "--stats")
check(rc == 0, "--log --save-log --stats run", err)
expected = ["block %d: %s" % (f // 512, line) for f, _, line, _ in sends]
check(log_lines(out) == expected, "log lines with their block numbers", out)
for counter in ("dropped by the delay line: 0", "refused by the full recording: 0",
                "dropped by the send bus: 0", "stream is sound: 0", "feedback loop: 0"):
    check(counter in out.splitlines(), "--stats prints " + counter, out)

rows = midicsv(os.path.join(WORK, "all.mid"))
check(rows[0] == ["0", "0", "Header", "1", "1", "192"], "format 1, one track, 192 ppqn", rows[0])
events = [r for r in rows if r[0] == "1" and r[2] not in
          ("Start_track", "End_track", "Title_t", "MIDI_port", "Time_signature", "Tempo")]
got = [(int(r[1]), r[2], r[3:]) for r in events]
want = [
    (0, "Note_on_c", ["0", "60", "100"]),
    (9, "Note_off_c", ["0", "60", "0"]),
    (17, "Poly_aftertouch_c", ["1", "61", "33"]),
    (26, "Control_c", ["2", "66", "127"]),
    (35, "Program_c", ["3", "5"]),
    (44, "Channel_aftertouch_c", ["4", "90"]),
    (52, "Pitch_bend_c", ["5", "8192"]),
    (61, "System_exclusive_packet", ["2", "241", "33"]),
    (70, "System_exclusive_packet", ["3", "242", "16", "32"]),
    (78, "System_exclusive_packet", ["2", "243", "7"]),
]
check(got[:len(want)] == want, "midicsv reads the messages and escapes at their ticks", got)
check([t for t, _, _ in got] == [t for _, _, _, t in sends], "every message at its tick", got)

# mido rejects escapes whose data holds status bytes; channel messages alone it reads.
try:
    mido.MidiFile(os.path.join(WORK, "all.mid"))
    check(False, "mido refuses the escapes (as the README says)")
except (ValueError, OSError, EOFError):
    check(True, "mido refuses the escapes (as the README says)")
rc, out, err = run("--blocks", "32", "--send", ",".join("%d:%s" % (f, b) for f, b, _, _ in sends[:7]),
                   "--save-log", "channel.mid")
check(rc == 0, "--save-log without --log", err)
f = mido.MidiFile(os.path.join(WORK, "channel.mid"))
tick, read = 0, []
for m in f.tracks[0]:
    tick += m.time
    if not m.is_meta:
        read.append((tick, m.bytes()))
want = [(t, [int(x, 0) for x in b.split()]) for _, b, _, t in sends[:7]]
want[6] = (52, [0xE5, 0, 64])
check(read == want, "mido reads the channel messages at their ticks", read)

# A saved log played back: the same lines, except the word without a status byte, which no
# reader can take for a message.
rc, out, err = run("--in", "all.mid", "--set", "1=0", "--log")
check(rc == 0, "--in of a saved log holding every kind of message", err)
texts = [l.split(": ", 1)[1] for l in log_lines(out)]
check(texts == [line for _, _, line, _ in sends[:-1]], "played back, the same log lines", texts)

# A song with a tempo change and two time signatures: corvella-host reports them as the song
# plays, so the recording carries them.
song = mido.MidiFile(ticks_per_beat=96)
t = mido.MidiTrack()
song.tracks.append(t)
t.append(mido.MetaMessage("time_signature", numerator=3, denominator=4, time=0))
t.append(mido.Message("note_on", note=60, velocity=90, time=0))
t.append(mido.Message("note_off", note=60, velocity=0, time=96))
t.append(mido.MetaMessage("set_tempo", tempo=1000000, time=0))
t.append(mido.MetaMessage("time_signature", numerator=6, denominator=8, time=0))
t.append(mido.Message("note_on", note=62, velocity=90, time=96))
song.save(os.path.join(WORK, "song.mid"))
rc, out, err = run("--in", "song.mid", "--set", "1=0", "--save-log", "song-log.mid")
check(rc == 0, "--in song --save-log", err)
metas = [(m.type, getattr(m, "tempo", None), getattr(m, "numerator", None),
          getattr(m, "denominator", None))
         for m in mido.MidiFile(os.path.join(WORK, "song-log.mid")).tracks[0] if m.is_meta]
check(("time_signature", None, 3, 4) in metas and ("time_signature", None, 6, 8) in metas,
      "the song's time signatures are recorded", metas)
check(("set_tempo", 1000000, None, None) in metas, "the song's tempo change is recorded", metas)
check(("time_signature", None, 4, 4) not in metas, "no host default before the song's", metas)

# Without --in the host reports --tempo and --time-signature.
rc, out, err = run("--tempo", "90", "--time-signature", "7/8", "--save-log", "set.mid")
metas = [m for m in mido.MidiFile(os.path.join(WORK, "set.mid")).tracks[0] if m.is_meta]
check(any(m.type == "set_tempo" and m.tempo == 666667 for m in metas), "--tempo 90", metas)
check(any(m.type == "time_signature" and (m.numerator, m.denominator) == (7, 8) for m in metas),
      "--time-signature 7/8", metas)
for bad in (["--tempo", "0"], ["--tempo", "x"], ["--time-signature", "4/3"],
            ["--time-signature", "4"], ["--time-signature", "0/4"]):
    rc, out, err = run(*bad)
    check(rc != 0 and "corvella-host:" in err, "refused: " + " ".join(bad), (rc, err))

# A restored project with "log?" off: --log still logs.
rc, out, err = run("--blocks", "0", "--save-state", "state.txt")
rc, out, err = run("--load-state", "state.txt", "--send", "0:0xC0 5", "--log")
check(rc == 0 and log_lines(out) == ["block 0: [1] Program Change (5)"],
      "--log after --load-state", (rc, out, err))

# A log file it cannot save is refused before anything is processed, with status 2: a folder
# that is not there, an empty name, and (natively) a FIFO, which a save would otherwise wait on
# for ever; a FIFO to play is refused at once too.
bad = os.path.join("no such dir", "x.mid")
rc, out, err = run("--send", "0:0x90 60 1", "--save-log", bad)
check(rc == 2 and bad in err and out == "", "a log file in a missing folder is refused",
      (rc, out, err))
rc, out, err = run("--send", "0:0x90 60 1", "--save-log", "")
check(rc == 2 and "--save-log" in err, "an empty --save-log is refused", (rc, err))
if not RUNNER:
    os.mkfifo(os.path.join(WORK, "fifo.mid"))
    rc, out, err = run("--save-log", "fifo.mid", timeout=20)
    check(rc == 2 and "not a regular file" in err, "a FIFO as the log file is refused", (rc, err))
    rc, out, err = run("--in", "fifo.mid", timeout=20)
    check(rc == 2 and "fifo.mid" in err, "a FIFO to play is refused", (rc, err))
    os.remove(os.path.join(WORK, "fifo.mid"))

# A save that fails half-way (a file size limit stands for a full disk): the run says why and
# fails, the last good log stays as it was, and no temporary file is left (native builds: the
# limit would stop Wine's own files).
if not RUNNER:
    import resource
    import signal

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (200, resource.RLIM_INFINITY))

    rc, out, err = run("--send", "0:0x90 60 1", "--save-log", "kept.mid")
    with open(os.path.join(WORK, "kept.mid"), "rb") as f:
        good = f.read()
    before = sorted(os.listdir(WORK))
    many = ",".join("%d:0x90 %d 1" % (i, i % 128) for i in range(200))
    os.environ["CORVELLA_VSTBUS_SCOPE"] = "host-log-limit-%d" % os.getpid()
    rc, out, err = run("--send", many, "--save-log", "kept.mid", limit=small_files)
    del os.environ["CORVELLA_VSTBUS_SCOPE"]
    with open(os.path.join(WORK, "kept.mid"), "rb") as f:
        kept = f.read()
    check(rc == 2 and "Cannot save the log to" in err and kept == good and len(good) < 200 and
          sorted(os.listdir(WORK)) == before, "a failed save keeps the last good log",
          (rc, err, len(good), len(kept), before, sorted(os.listdir(WORK))))

# Ctrl+C ends a --realtime run early and the recording is still saved (native builds: a
# signal sent to Wine's loader does not reach the Windows program as a console event).
if not RUNNER:
    import signal
    import time
    p = subprocess.Popen([HOST, PLUGIN, "--realtime", "--blocks", "1000000", "--send",
                          "0:0x90 60 1", "--save-log", "interrupted.mid", "--log"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=WORK)
    time.sleep(1.0)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    rows = midicsv(os.path.join(WORK, "interrupted.mid"))
    check(p.returncode == 128 + signal.SIGINT and any(r[2] == "Note_on_c" for r in rows),
          "Ctrl+C in --realtime still saves the log", (p.returncode, err, rows))

# SIGUSR1 pauses --log's printing in a --realtime run and the next one resumes it: a line
# logged while paused is counted, not printed, and lines after the resume print again. Blocks
# of 0.1 s: notes at 0 s, 1 s (while paused, from about 0.5 s to 2 s) and 3 s.
if not RUNNER:
    import signal
    import time
    p = subprocess.Popen([HOST, PLUGIN, "--realtime", "--blocks", "1000000", "--block", "4410",
                          "--send", "0:0x90 60 1,44100:0x90 61 1,132300:0x90 62 1", "--log"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=WORK,
                         bufsize=1)
    start = time.monotonic()
    seen = []

    def read_until(text):
        for line in p.stdout:
            seen.append(line.rstrip("\n"))
            if text in line:
                return True
        return False

    first = read_until("C 5 (60,1) On")
    p.send_signal(signal.SIGUSR1)
    paused = read_until("(log paused)")
    time.sleep(max(0.0, 2.0 - (time.monotonic() - start)))
    p.send_signal(signal.SIGUSR1)
    resumed = read_until("(log resumed;")
    last = read_until("D 5 (62,1) On")
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    shown = [l for l in seen if "On" in l]
    check(first and paused and resumed and last and
          any("(log resumed; 1 line not printed)" in l for l in seen) and
          not any("C#5" in l for l in seen) and len(shown) == 2,
          "SIGUSR1 pauses and resumes --log's printing", (seen, err))

# A readable log: clock and active sensing hidden from the printed lines (the recording keeps
# them), a time prefix in bar.beat.tick at 6/8 (an eighth-note beat of 480 ticks) and in
# seconds at 48 kHz, and the shown lines saved as UTF-8 text.
readable = ["--rate", "48000", "--block", "24000", "--blocks", "4", "--time-signature", "6/8",
            "--send", "0:0xF8,100:0x90 60 100,24000:0xFE,30000:0x80 60 0,60000:0xB0 7 100"]
code, out, err = run(*readable, "--log", "--log-hide", "clock,0xFE", "--log-time", "bars",
                     "--save-log-text", "shown.txt", "--save-log", "hidden.mid")
want = ["1.1.004 [1] C 5 (60,100) On", "1.3.240 [1] C 5 (60) Off",
        "1.6.000 [1] CCM: Channel Volume (7,100)"]
check(code == 0 and [l.split(": ", 1)[1] for l in log_lines(out)] == want,
      "--log-hide and --log-time bars", (code, out, err))
with open(os.path.join(WORK, "shown.txt"), "rb") as f:
    text = f.read()
check(text.decode("utf-8") == "".join(l + "\n" for l in want), "--save-log-text", text)
code, out, err = run(*readable, "--save-log", "everything.mid")
hidden, everything = midicsv(os.path.join(WORK, "hidden.mid")), \
    midicsv(os.path.join(WORK, "everything.mid"))
check(code == 0 and hidden == everything and len(hidden) > 8,
      "hidden lines stay in the recording", (hidden, everything))
code, out, err = run("--rate", "48000", "--block", "24000", "--blocks", "3", "--send",
                     "0:0x90 60 100,36000:0x80 60 0,71999:0xB0 7 1", "--log",
                     "--log-time", "seconds")
check(code == 0 and [l.split(": ", 1)[1] for l in log_lines(out)] ==
      ["0.000 [1] C 5 (60,100) On", "0.750 [1] C 5 (60) Off",
       "1.499 [1] CCM: Channel Volume (7,1)"], "--log-time seconds", (code, out, err))
code, out, err = run("--log-hide", "clockwork")
check(code != 0 and "clockwork" in err, "--log-hide refuses an unknown status", (code, err))

print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
