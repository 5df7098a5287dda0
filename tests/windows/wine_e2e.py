#!/usr/bin/env python3
"""End-to-end tests of the Windows smfstream.exe under Wine, with Wine's own winmm.

    wine_e2e.py --exe smfstream.exe --prefix DIR CASE

CASE is `start` (creates the Wine prefix if needed and starts a Wine server
that stays up; the cases need it), `stop` (stops that server) or one of the
cases below. Exits 77 (skipped) when Wine is not installed.

Wine runs here with its audio drivers switched off, so on every machine its
winmm has no MIDI output and no mixer: no stream opens (a pass ends silently
and its marker follows), the stream's volume call refuses the null handle
(5, "handle not valid") and mixerOpen answers MMSYSERR_NODRIVER (6).
Standard error is in text mode on Windows: every "\\n" arrives as "\\r\\n".

Wine 8's midiStreamOpen, when it fails, leaves its freed stream record in its
table of streams, and a later midiStreamOpen in the same process may crash on
it. So in each run here only the first pass finds a file it can load; later
passes get paths that cannot be read, which end before the stream is opened.
"""
import argparse
import os
import shutil
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

    def __init__(self, ctx, args, stdin=b""):
        self.proc = subprocess.Popen([ctx.wine, ctx.exe, *args], cwd=ctx.workdir, env=ctx.env,
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

    def wait_stderr(self, part, timeout=LAUNCH_TIMEOUT):
        with self.changed:
            found = self.changed.wait_for(lambda: part in self.err, timeout)
        check(found, f"stderr never showed {part!r}; it holds {bytes(self.err)!r}")

    def finish(self, timeout=LAUNCH_TIMEOUT):
        """Ends standard input and waits for the exit; returns the status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            fail(f"no exit within {timeout} s after the end of input; stderr {bytes(self.err)!r}")
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
    """A wrong argument count: only the usage line, on stderr, and a non-zero status."""
    for args in ([], ["100"], ["100", "song.mid", "extra"]):
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
    check(p.finish() == 0, "exit status")
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
    check(p.finish() == 0, "exit status")
    # A name's own bytes are printed as they are; only the messages' "\n" become "\r\n".
    received = crlf("New filename received: ").replace(b"\r\n", b"") + name.replace(b"\n", b"\r\n") + b"\r\n"
    err = without(bytes(p.err), crlf("could not open missing.mid\n"),
                  b"could not open " + name.replace(b"\n", b"\r\n") + b"\r\n",
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
        check(bytes(p.err) == crlf(FALLBACK + READ + tail), f"{stdin!r}: stderr {bytes(p.err)!r}")
        check(bytes(p.out) == b"1", f"{stdin!r}: stdout {bytes(p.out)!r}")


def start_wine(ctx):
    """Creates the prefix if needed (the first start takes several seconds) and
    keeps one Wine server running for all the cases. The server and Wine's own
    processes get no pipe of a test's, which they would hold open."""
    os.makedirs(ctx.env["WINEPREFIX"], exist_ok=True)
    subprocess.run([ctx.wineserver, "-p"], env=ctx.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
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


def find_wine():
    """Wine's 64-bit loader and its server, or None."""
    for loader in (shutil.which("wine64"), "/usr/lib/wine/wine64"):
        if loader and os.access(loader, os.X_OK):
            server = os.path.join(os.path.dirname(loader), "wineserver")
            return loader, server if os.access(server, os.X_OK) else shutil.which("wineserver")
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("case", choices=["start", "stop", *CASES])
    args = parser.parse_args()

    wine = find_wine()
    if not wine or not wine[1]:
        print("SKIP: Wine is not installed (no wine64 on PATH, no /usr/lib/wine/wine64)")
        return SKIP

    ctx = argparse.Namespace(wine=wine[0], wineserver=wine[1], exe=os.path.abspath(args.exe))
    ctx.env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEDEBUG="-all",
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
