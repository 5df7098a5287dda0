#!/usr/bin/env python3
"""End-to-end tests of the Windows smfstream.exe under Wine, with Wine's own winmm.

    wine_e2e.py [--arch win32|win64] --exe smfstream.exe --prefix DIR --driver winesmftest.drv CASE

CASE is `start` (creates the Wine prefix if needed and starts a Wine server
that stays up; the cases need it), `stop` (stops that server) or one of the
cases below. Exits 77 (skipped), with the reason on one line, when Wine for
that architecture is not installed or the kernel cannot run it.

--arch win64 (the default) runs the 64-bit smfstream.exe with Wine's 64-bit
loader; --arch win32 runs the 32-bit one with Wine's 32-bit loader in a 32-bit
prefix (WINEARCH=win32), so that the stream goes through 32-bit winmm. Each
architecture needs its own prefix, and its own build of the MIDI driver.

Wine runs here with its own audio drivers switched off and the tests' MIDI
driver (fake_midi_driver.c) as its audio driver. That driver offers a MIDI
output only to a run that gives it a log (the stream case); every other run
sees what a machine with no MIDI device gives, the same everywhere: winmm has no
MIDI output and no mixer, no stream opens (a pass ends silently and its marker
follows), the stream's volume call refuses the null handle (5, "handle not
valid") and mixerOpen answers MMSYSERR_NODRIVER (6).

Standard error is in text mode on Windows: every "\\n" arrives as "\\r\\n".

Wine 8's midiStreamOpen, when it fails, leaves its freed stream record in its
table of streams, and a later midiStreamOpen in the same process may crash on
it. So in each run without a MIDI output only the first pass finds a file it
can load; later passes get paths that cannot be read, which end before the
stream is opened.
"""
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
LAUNCH_TIMEOUT = 30  # seconds for one run of the player, Wine's start included

FALLBACK = ("Cannot set volume via midi...Reason: handle not valid\n"
            "ERROR: Can't open Mixer Device! -- 00000006\n"
            "MMSYSERR_NODRIVER\n")
READ = "read from stdin..."
# With no MIDI output, each pass over a loadable file names the call that failed.
OPEN_FAILED = re.compile(rb"midiStreamOpen failed: \d+\r\n")


def crlf(text):
    return text.replace("\n", "\r\n").encode("latin-1")


def smf(tracks, division=96):
    """A Standard MIDI File (format 1) from the tracks' event bytes; each track
    gets its End of Track."""
    body = b"".join(b"MTrk" + struct.pack(">I", len(t) + 4) + t + b"\x00\xff\x2f\x00" for t in tracks)
    return b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), division) + body


SONG = smf([b"\x00\xff\x51\x03\x07\xa1\x20\x00\x90\x3c\x64\x60\x3c\x00", b"\x30\xc0\x05"])


class Player:
    """One run of the player under Wine, its output collected as it comes."""

    def __init__(self, ctx, args, stdin=b"", env=None):
        self.proc = subprocess.Popen([ctx.wine, ctx.exe, *args], cwd=ctx.workdir, env={**ctx.env, **(env or {})},
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = bytearray()
        self.err = bytearray()
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._collect, args=(s, b), daemon=True)
                        for s, b in ((self.proc.stdout, self.out), (self.proc.stderr, self.err))]
        for r in self.readers:
            r.start()
        if stdin:
            self.send(stdin)

    def _collect(self, stream, into):
        while chunk := stream.read1(4096):
            with self.changed:
                into.extend(chunk)
                self.changed.notify_all()

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def wait_stdout(self, expected, timeout=LAUNCH_TIMEOUT):
        """Waits until standard output holds as many bytes as expected; then
        they must be exactly those."""
        with self.changed:
            self.changed.wait_for(lambda: len(self.out) >= len(expected), timeout)
            check(bytes(self.out) == expected, f"stdout {bytes(self.out)!r}, expected {expected!r}")

    def wait_stderr(self, part, timeout=LAUNCH_TIMEOUT, count=1):
        with self.changed:
            found = self.changed.wait_for(lambda: self.err.count(part) >= count, timeout)
        check(found, f"stderr never showed {part!r} {count} times; it holds {bytes(self.err)!r}")

    def wait_exit(self, timeout, after):
        """Waits for the exit; a player still running then is killed and the case fails."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            fail(f"no exit within {timeout} s after {after}; stderr {bytes(self.err)!r}")

    def finish(self, timeout=LAUNCH_TIMEOUT):
        """Ends standard input and waits for the exit; returns the status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        status = self.wait_exit(timeout, "the end of input")
        for r in self.readers:
            r.join(timeout)
        return status


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def fail(message):
    raise Failure(message)


def without(err, *messages):
    """err with one copy of each message taken out wherever it stands: the
    main thread's messages may fall between two of the control thread's."""
    for m in messages:
        check(m in err, f"stderr lacks {m!r}: {err!r}")
        err = err.replace(m, b"", 1)
    return err


# --- the cases -------------------------------------------------------------

def case_usage(ctx):
    """A wrong argument count, or an option other than --loop-points: only the
    usage line, on stderr, and a non-zero status."""
    for args in ([], ["100"], ["100", "song.mid", "extra"], ["--loop", "100", "song.mid"]):
        run = subprocess.run([ctx.wine, ctx.exe, *args], cwd=ctx.workdir, env=ctx.env, input=b"\x00\x10",
                             capture_output=True, timeout=LAUNCH_TIMEOUT)
        check(run.returncode == 2, f"{args}: exit status {run.returncode}")
        check(run.stdout == b"", f"{args}: stdout {run.stdout!r}")
        head, sep, tail = run.stderr.partition(b" <volume 0-255> <filename.mid>\r\n")
        check(sep and tail == b"" and head.startswith(b"Usage: ") and head.lower().endswith(b"smfstream.exe"),
              f"{args}: stderr {run.stderr!r}")


def case_protocol(ctx):
    """The control channel's trace: a volume, a file name, the end of input."""
    write(ctx, "song.mid", SONG)
    p = Player(ctx, ["100", "song.mid"])
    p.wait_stdout(b"1")  # no MIDI device: the pass ends at once, then waits for a name
    p.send(b"\x00\xc8" + b"\x05\x00a.mid")
    p.wait_stdout(b"11")  # the name ends the wait: a pass over a.mid, which is missing
    check(p.finish() == 0, "exit status after the end of input")
    expected = (FALLBACK + READ + "got 0 c8\nNew volume received: 200\n" + FALLBACK + READ +
                "got 5 0\nNew filename sending: 5 bytes\nNew filename received: a.mid\n" + FALLBACK + READ)
    err = without(bytes(p.err), crlf("could not open a.mid\n"))
    err, failures = OPEN_FAILED.subn(b"", err)
    check(failures == 1, f"the pass over song.mid did not name its failed call: {bytes(p.err)!r}")
    check(err == crlf(expected), f"stderr {err!r}")
    check(bytes(p.out) == b"11", f"stdout {bytes(p.out)!r}")


def case_markers(ctx):
    """Standard output carries only the markers: one per pass, none for a
    volume. A pass that played nothing waits for a name before the next, and
    a path that cannot be read gets its message and its marker each time."""
    write(ctx, "song.mid", SONG)
    write(ctx, "short.mid", SONG[:13])
    os.makedirs(os.path.join(ctx.workdir, "folder.mid"))
    p = Player(ctx, ["255", "song.mid"])
    p.wait_stdout(b"1")
    time.sleep(1.0)  # a pass that played nothing is not retried by itself
    check(bytes(p.out) == b"1", f"passes went on without a name: stdout {bytes(p.out)!r}")
    p.send(b"\x00\x40\x80\x7f\xff\x10")
    names = ("short.mid", "missing.mid", "folder.mid")
    for count, name in enumerate(names, start=2):
        p.send(bytes([len(name), 0]) + name.encode())
        p.wait_stdout(b"1" * count)
    status = p.finish()
    check(status == 0, f"exit status {status}")
    err = without(bytes(p.err), *(crlf(f"could not open {name}\n") for name in names))
    for volume in (64, 127, 16):
        check(crlf(f"New volume received: {volume}\n") in err, f"volume {volume} missing: {err!r}")
    for text in ("buffering", "done", "switch to new file", "could not open"):
        check(text.encode() not in err, f"{text!r} with no device: {err!r}")


def case_binary_stdin(ctx):
    """0x0D, 0x0A and 0x1A reach the control channel untranslated: in text
    mode 0x1A would end the input and 0x0D 0x0A would lose a byte."""
    name = b"x\r\ny\x1a.mid"
    long_name = b"n" * 0x101  # a length with a high byte: 01 01
    p = Player(ctx, ["100", "missing.mid"])
    p.wait_stdout(b"1")
    p.send(b"\x00\x1a" + b"\x00\x0d" + b"\x80\x0a" + bytes([len(name), 0]) + name)
    p.wait_stdout(b"11")
    p.send(b"\x01\x01" + long_name + b"\x00\x0a")
    p.wait_stdout(b"111")
    status = p.finish()
    check(status == 0, f"exit status {status}")
    # A name's control bytes are shown escaped, so they reach no terminal;
    # only the messages' "\n" become "\r\n".
    shown = rb"x\r\ny\x1a.mid"
    received = crlf("New filename received: ").replace(b"\r\n", b"") + shown + b"\r\n"
    err = without(bytes(p.err), crlf("could not open missing.mid\n"),
                  b"could not open " + shown + b"\r\n",
                  b"could not open " + long_name + b"\r\n")
    expected = (crlf(FALLBACK + READ + "got 0 1a\nNew volume received: 26\n" + FALLBACK + READ +
                     "got 0 d\nNew volume received: 13\n" + FALLBACK + READ +
                     "got 80 a\nNew volume received: 10\n" + FALLBACK + READ +
                     f"got {len(name):x} 0\nNew filename sending: {len(name)} bytes\n") + received +
                crlf(FALLBACK + READ + "got 1 1\nNew filename sending: 257 bytes\n") +
                crlf("New filename received: ").replace(b"\r\n", b"") + long_name + b"\r\n" +
                crlf(FALLBACK + READ + "got 0 a\nNew volume received: 10\n" + FALLBACK + READ))
    check(err == expected, f"stderr\n{err!r}\nexpected\n{expected!r}")


def case_cut_short(ctx):
    """The end of input inside a command: a name cut short is reported, half a
    command is not; both end the process with status 0."""
    write(ctx, "a.mid", SONG)
    for stdin, tail in ((b"\x03\x00ab", "got 3 0\nNew filename sending: 3 bytes\n"
                                        "not enough data, got 2, expected 3 bytes\n"),
                        (b"\x00", "")):
        p = Player(ctx, ["100", "a.mid"])
        p.wait_stdout(b"1")
        p.send(stdin)
        check(p.finish() == 0, f"{stdin!r}: exit status")
        err, failures = OPEN_FAILED.subn(b"", bytes(p.err))
        check(failures == 1 and err == crlf(FALLBACK + READ + tail), f"{stdin!r}: stderr {bytes(p.err)!r}")
        check(bytes(p.out) == b"1", f"{stdin!r}: stdout {bytes(p.out)!r}")


def vlq(value):
    out = [value & 0x7F]
    while value > 0x7F:
        value >>= 7
        out.insert(0, 0x80 | (value & 0x7F))
    return bytes(out)


def stream_song():
    """Two tracks, 605 records (two buffers) over 600 ticks at 96 ticks per
    quarter and 200000 us per quarter: 1.25 s. Returns the file and the short
    messages in the order the device must get them."""
    notes = bytearray(b"\x00\xff\x51\x03\x03\x0d\x40")  # tempo 200000
    timeline = []
    for i in range(300):
        key = 0x30 + i % 24
        notes += bytes([0, 0x90, key, 0x40]) if i == 0 else bytes([1, key, 0x40])  # running status
        notes += bytes([1, key, 0])
        timeline += [(2 * i, 0, 0x90 | key << 8 | 0x40 << 16), (2 * i + 1, 0, 0x90 | key << 8)]
    controls, last = bytearray(), 0
    for tick in (0, 150, 300, 450):
        controls += vlq(tick - last) + bytes([0xB0, 0x07, tick // 4])
        timeline.append((tick, 1, 0xB0 | 0x07 << 8 | (tick // 4) << 16))
        last = tick
    timeline.sort(key=lambda event: (event[0], event[1]))
    return smf([bytes(notes), bytes(controls)]), [word for _, _, word in timeline]


def case_stream(ctx):
    """The stream for real, through Wine's winmm and a MIDI output driver of
    the tests' own: what the device gets, in order and in time; a name that
    ends a pass while it plays; a file with no tracks; the volume on the open
    stream and the reasons for the codes the device refuses it with; the end
    of input while a stream plays, which resets and closes it."""
    song, words = stream_song()
    write(ctx, "song.mid", song)
    log = os.path.join(ctx.workdir, "midi.log")
    # The first pass finds no file, so that the control thread's first volume is the first
    # call into winmm: Wine's winmm loads its drivers at its first call, and a call from
    # another thread meanwhile finds no device (a stream that then fails to open).
    p = Player(ctx, ["100", "missing.mid"], env={"SMFTEST_MIDI_LOG": "Z:" + log.replace("/", "\\")})
    p.wait_stdout(b"1")
    p.wait_stderr(b"read from stdin...")
    p.send(b"\x08\x00song.mid")
    p.wait_stderr(crlf("buffering...\n"))
    p.send(b"\x00\xc8")
    p.wait_stdout(b"11", timeout=10)  # song.mid has played to its end; it starts again at once
    p.wait_stderr(crlf("buffering...\n"), count=4)  # once per fill: three in the first pass, then the second
    p.send(b"\x00\x05\x00\x08\x00\x07\x00\x02")
    p.send(b"\x0b\x00missing.mid")
    p.wait_stdout(b"1111")  # the second pass ended by the name; then the missing file again
    write(ctx, "empty.mid", smf([]))
    p.send(b"\x09\x00empty.mid")
    p.wait_stdout(b"11111")  # no tracks: the stream opens, nothing is queued
    time.sleep(0.5)  # a pass that placed nothing waits for the next name
    check(bytes(p.out) == b"11111", f"stdout {bytes(p.out)!r}")
    p.send(b"\x08\x00song.mid")
    p.wait_stderr(crlf("buffering...\n"), count=6)
    # The end of input once the driver has got the last stream's first notes: they are sounding.
    deadline = time.monotonic() + LAUNCH_TIMEOUT
    while time.monotonic() < deadline:
        with open(log) as f:
            kinds = [line.split()[1] for line in f]
        if "data" in kinds[len(kinds) - 1 - kinds[::-1].index("open"):]:
            break
        time.sleep(0.01)
    check(p.finish() == 0, "exit status at the end of input while the stream plays")

    err = bytes(p.err)
    check(err.count(crlf("switch to new file missing.mid.\n")) == 1, f"no switch: {err!r}")
    first_pass = err.split(crlf("done.\n"), 1)[0]
    check(first_pass.count(crlf("buffering...\n")) == 3, f"two buffers and an empty fill: {first_pass!r}")
    # The control thread's messages alone: the pass's may fall anywhere between them.
    control = err
    for message in ("buffering...\n", "done.\n", "switch to new file missing.mid.\n", "could not open missing.mid\n",
                    "switch to new file empty.mid.\n"):
        control = control.replace(crlf(message), b"")
    check(control.startswith(b"read from stdin..."), f"the command line's volume refused: {control!r}")
    after_200 = control.split(crlf("New volume received: 200\n"), 1)[1].split(b"read from stdin...", 1)[0]
    check(after_200 == b"", f"volume 200 refused: {after_200!r}")
    # A device that refuses the volume, and no mixer: winmm has a MIDI driver but no audio endpoint.
    for volume, reason in ((5, "Reason: handle not valid"), (8, "Reason: not supported"),
                           (7, "Reason: memory error"), (2, "Reason: unknown")):
        check(crlf(f"New volume received: {volume}\nCannot set volume via midi...{reason}\n"
                   "ERROR: Can't open Mixer Device! -- 00000002\nMMSYSERR_BADDEVICEID\nread from stdin...") in control,
              f"volume {volume}: {control!r}")

    with open(log) as f:
        lines = [line.split() for line in f]
    passes, current = [], None
    for when, what, value in lines:
        if what == "open":
            current = []
        elif what == "close":
            passes.append(current)
        elif what == "data" and current is not None:
            current.append((int(when), int(value, 16)))
    # The fourth, cut short by the end of input, is closed too.
    check(len(passes) == 4, f"{len(passes)} streams opened and closed, expected 4")
    got = [w for _, w in passes[0]]
    check(got == words, f"first pass: {len(got)} events, expected {len(words)}; first difference at "
          f"{next((i for i, (a, b) in enumerate(zip(got, words)) if a != b), min(len(got), len(words)))}")
    span = (passes[0][-1][0] - passes[0][0][0]) / 1e6
    check(1.0 <= span <= 2.0, f"the first pass took {span:.3f} s for 1.25 s of music")
    check(all(a[0] <= b[0] for a, b in zip(passes[0], passes[0][1:])), "events out of time order")
    check(0 < len(passes[1]) < len(words), f"second pass: {len(passes[1])} events; it should have been cut short")
    check(passes[2] == [], f"the empty file sent {len(passes[2])} events")
    # The end of input stops the last stream through its teardown: the device is reset, then closed,
    # with nothing played after the last reset. (Wine's stream thread may still send the event it was
    # at just after the program's reset; its midiStreamClose resets once more.)
    last = [what for _, what, _ in lines][max(i for i, line in enumerate(lines) if line[1] == "open"):]
    check(len(passes[3]) > 0 and "reset" in last and last[-1] == "close" and
          "data" not in last[len(last) - 1 - last[::-1].index("reset"):], f"the last stream ended with {lines[-8:]}")
    # Fills: three in the first pass, one in the second (cut short by the name), one in the empty
    # file's, at least one in the last.
    check(err.count(crlf("buffering...\n")) >= 6 and err.count(crlf("done.\n")) == 3, f"stderr {err!r}")
    # One word at the start and one per command; a name applies the volume again.
    volumes = [value for _, what, value in lines if what == "volume"]
    check(volumes == ["00006464", "00006464", "0000c8c8", "00000505", "00000808", "00000707", "00000202",
                      "00000202", "00000202", "00000202"], f"volume words {volumes}")


def driver_log(path):
    """The driver's log as (what, value) pairs; empty before the driver has written it."""
    try:
        with open(path) as f:
            return [tuple(line.split()[1:3]) for line in f]
    except FileNotFoundError:
        return []


def case_ctrl_c(ctx):
    """Ctrl-C while a note sounds (SIGINT, which Wine hands the console's handlers as
    CTRL_C_EVENT): the stream is reset and closed at the driver, and the process ends as
    Windows ends it on Ctrl-C, with STATUS_CONTROL_C_EXIT (of which a Unix status keeps the
    low byte)."""
    write(ctx, "held.mid", smf([b"\x00\x90\x3c\x64\x87\x40\x80\x3c\x00"]))  # 5 s
    log = os.path.join(ctx.workdir, "midi.log")
    # As in the stream case, the first call into winmm is the control thread's.
    p = Player(ctx, ["100", "missing.mid"], env={"SMFTEST_MIDI_LOG": "Z:" + log.replace("/", "\\")})
    p.wait_stdout(b"1")
    p.wait_stderr(b"read from stdin...")
    p.send(b"\x08\x00held.mid")
    deadline = time.monotonic() + LAUNCH_TIMEOUT
    while ("data", "00643c90") not in driver_log(log) and time.monotonic() < deadline:
        time.sleep(0.01)
    check(("data", "00643c90") in driver_log(log), f"the note never reached the driver: {driver_log(log)}")
    p.proc.send_signal(signal.SIGINT)
    status = p.wait_exit(LAUNCH_TIMEOUT, "Ctrl-C")
    check(status == 0xC000013A & 0xFF, f"exit status {status} after Ctrl-C")
    after = [what for what, _ in driver_log(log)]
    after = after[after.index("data"):]
    check("reset" in after and after[-1] == "close" and "data" not in after[after.index("reset"):],
          f"after the note the driver got {after}")
    check(bytes(p.out) == b"1", f"stdout {bytes(p.out)!r}")


def case_closing_rest(ctx):
    """winmm waits out the closing no-op record: a one-beat note in a
    four-beat bar plays pass after pass, each lasting the whole bar (1 s),
    not the beat (0.25 s)."""
    # Tempo 250000, the note from 0 to 96, an empty text at 384, where the track ends.
    write(ctx, "bar.mid", smf([b"\x00\xff\x51\x03\x03\xd0\x90\x00\x90\x3c\x64\x60\x3c\x00\x82\x20\xff\x01\x00"]))
    log = os.path.join(ctx.workdir, "midi.log")
    # The first pass finds no file, as in the stream case, so that winmm loads its drivers first.
    p = Player(ctx, ["100", "missing.mid"], env={"SMFTEST_MIDI_LOG": "Z:" + log.replace("/", "\\")})
    p.wait_stdout(b"1")
    p.wait_stderr(b"read from stdin...")
    p.send(b"\x07\x00bar.mid")
    p.wait_stdout(b"1111", timeout=15)
    status = p.finish()
    check(status == 0, f"exit status {status}")
    with open(log) as f:
        lines = [line.split() for line in f]
    starts = [int(when) for when, what, value in lines if what == "data" and value == "00643c90"]
    check(len(starts) >= 3, f"{len(starts)} passes played their note")
    gaps = [(b - a) / 1e6 for a, b in zip(starts, starts[1:3])]
    check(all(0.9 <= gap <= 2.0 for gap in gaps), f"passes {gaps} s apart, expected a bar of 1 s")


def start_wine(ctx):
    """Creates the prefix if needed (the first start takes several seconds) and
    keeps one Wine server running for all the cases. The server and Wine's own
    processes get no pipe of a test's, which they would hold open."""
    os.makedirs(ctx.env["WINEPREFIX"], exist_ok=True)
    subprocess.run([ctx.wineserver, "-p"], env=ctx.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    # The tests' MIDI driver becomes Wine's audio driver (see fake_midi_driver.c).
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([ctx.wine, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Audio", "/d", "smftest", "/f"],
                   env=ctx.env, timeout=180, **quiet)
    shutil.copy(ctx.driver, os.path.join(ctx.env["WINEPREFIX"], "drive_c", "windows", "system32", "winesmftest.drv"))
    log_path = os.path.join(ctx.env["WINEPREFIX"], "first-start.log")
    with open(log_path, "wb") as log:
        status = subprocess.run([ctx.wine, ctx.exe], cwd=ctx.workdir, env=ctx.env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=log, timeout=180).returncode
    with open(log_path, "rb") as log:
        check(status == 2, f"first start: status {status}, output {log.read()[-2000:]!r}")


def stop_wine(ctx):
    subprocess.run([ctx.wineserver, "-k"], env=ctx.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def write(ctx, name, data):
    with open(os.path.join(ctx.workdir, name), "wb") as f:
        f.write(data)


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}


# Wine's loaders and where Debian puts them: wine64 (package wine64) and the
# 32-bit wine (package wine32:i386); /usr/bin/wine is only a wrapper script.
LOADERS = {"win64": ("wine64", "/usr/lib/wine/wine64", 2), "win32": ("wine", "/usr/lib/wine/wine", 1)}


def find_wine(arch):
    """Wine's loader for the architecture and its server; or the reason why
    they cannot run here."""
    name, path, elf_class = LOADERS[arch]
    for loader in (path, shutil.which(name)):
        if not loader or not os.access(loader, os.X_OK):
            continue
        with open(loader, "rb") as f:
            if f.read(5) != b"\x7fELF" + bytes([elf_class]):
                continue  # a wrapper, or a loader for the other architecture
        try:  # only whether the kernel runs it: a Wine that runs and fails is a failure, not a skip
            subprocess.run([loader, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        except OSError as e:
            return None, f"{loader} cannot run here: {e.strerror}" + (
                " (this kernel does not run 32-bit x86 programs)" if arch == "win32" else "")
        server = os.path.join(os.path.dirname(loader), "wineserver")
        server = server if os.access(server, os.X_OK) else shutil.which("wineserver")
        if not server:
            return None, f"no wineserver beside {loader} or on PATH"
        return (loader, server), None
    if arch == "win32":
        return None, (f"32-bit Wine is not installed (no {path}; scripts/install-deps installs wine32:i386 "
                      "where the kernel runs 32-bit programs and apt can install it)")
    return None, f"Wine is not installed (no {name} on PATH, no {path})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(LOADERS), default="win64")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--driver", required=True, help="winesmftest.drv, built from fake_midi_driver.c")
    parser.add_argument("case", choices=["start", "stop", *CASES])
    args = parser.parse_args()

    wine, reason = find_wine(args.arch)
    if not wine:
        print(f"SKIP: {reason}")
        return SKIP

    ctx = argparse.Namespace(wine=wine[0], wineserver=wine[1], exe=os.path.abspath(args.exe),
                             driver=args.driver)
    ctx.env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEARCH=args.arch, WINEDEBUG="-all",
                   # No audio driver: no MIDI device, no mixer, the same on every machine.
                   # No Mono or Gecko set-up when the prefix is created.
                   # No debugger: a crash ends the process at once, with its exception code.
                   WINEDLLOVERRIDES="winealsa.drv,winepulse.drv,mscoree,mshtml,winedbg.exe,winemenubuilder.exe=d")
    ctx.env.pop("DISPLAY", None)
    ctx.env.pop("WAYLAND_DISPLAY", None)
    with tempfile.TemporaryDirectory(prefix=f"wine-{args.case}-") as workdir:
        ctx.workdir = workdir
        try:
            {"start": start_wine, "stop": stop_wine, **CASES}[args.case](ctx)
        except Failure as e:
            print(f"FAIL: {args.case}: {e}")
            return 1
        except subprocess.TimeoutExpired as e:
            print(f"FAIL: {args.case}: time-out: {e}")
            return 1
    print(f"ok: {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
