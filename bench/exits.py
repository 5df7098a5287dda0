#!/usr/bin/env python3
"""How the player behaves towards a controller that never reads its standard
error, and how fast and how cleanly it ends.

    bench/exits.py build/src/smfstream [--runs 20]

Four figures, on the trace device, each printed with what it means:
  * stderr never read: 20000 volume commands sent at once while a short file
    loops in real time; how many commands reached the device (one `volume`
    line each) and how many markers came within 3 s, and whether the end of
    input then ended the player within 2 s;
  * stderr never read, no commands, the file looping as fast as it can
    (trace-fast): markers in 3 s;
  * the exit after the end of input, and after SIGTERM, while a note is held:
    milliseconds from the close (the signal) to the process's end, median and
    worst of --runs runs, and in how many runs the trace ends `reset` ... `close`.
"""
import argparse
import os
import select
import signal
import statistics
import struct
import subprocess
import tempfile
import threading
import time


def smf(track, division=96):
    track += b"\x00\xff\x2f\x00"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, division) + b"MTrk" + struct.pack(">I", len(track)) + track


HELD = smf(b"\x00\x90\x3c\x64" + b"\x83\x60\x80\x3c\x00")           # a note held 2.5 s
SHORT = smf(b"\x00\x90\x3c\x64" + b"\x28\x80\x3c\x00")              # 0.21 s, looped


def start(binary, folder, name, stderr, kind="trace"):
    env = dict(os.environ, SMFSTREAM_DEVICE=kind + ":" + os.path.join(folder, "trace"))
    return subprocess.Popen([binary, "200", name], cwd=folder, env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=stderr)


def trace_lines(folder):
    try:
        with open(os.path.join(folder, "trace")) as f:
            return [line.split()[0] for line in f if line.strip()]
    except FileNotFoundError:
        return []


def read_markers(proc, seconds):
    """Reads standard output for the given time; returns what came."""
    out = b""
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        ready, _, _ = select.select([proc.stdout], [], [], left)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
    return out


def wait_end(proc, seconds):
    """Milliseconds until the process ends, or None if it had to be killed
    after the given time. A blocking wait: no polling in the figure."""
    t0 = time.monotonic()
    killer = threading.Timer(seconds, proc.kill)
    killer.start()
    proc.wait()
    killer.cancel()
    ms = (time.monotonic() - t0) * 1000
    return None if ms >= seconds * 1000 else ms


def unread_stderr(binary):
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "short.mid"), "wb") as f:
            f.write(SHORT)
        r, w = os.pipe()  # standard error: a pipe nobody reads
        proc = start(binary, folder, "short.mid", w)
        os.close(w)
        commands = 20000
        proc.stdin.write(b"\x00\x40" * commands)
        proc.stdin.flush()
        markers = read_markers(proc, 3.0)
        applied = trace_lines(folder).count("volume") - 1
        proc.stdin.close()
        ms = wait_end(proc, 2.0)
        os.close(r)
        print(f"| stderr never read, {commands} volume commands at once | {applied} applied, "
              f"{len(markers)} markers in 3 s | end of input: "
              + (f"ended after {ms:.0f} ms" if ms is not None else "still running after 2 s (killed)") + " |")


def unread_stderr_looping(binary):
    """The pass loop alone, at full speed: about 32 bytes of messages a pass."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "short.mid"), "wb") as f:
            f.write(SHORT)
        r, w = os.pipe()
        proc = start(binary, folder, "short.mid", w, kind="trace-fast")
        os.close(w)
        markers = read_markers(proc, 3.0)
        proc.stdin.close()
        ms = wait_end(proc, 2.0)
        os.close(r)
        print(f"| stderr never read, a file looping as fast as it can (trace-fast) | {len(markers)} markers in 3 s | "
              "end of input: " + (f"ended after {ms:.0f} ms" if ms is not None else "still running after 2 s (killed)")
              + " |")


def exits(binary, runs, how):
    times, clean = [], 0
    for _ in range(runs):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "held.mid"), "wb") as f:
                f.write(HELD)
            proc = start(binary, folder, "held.mid", subprocess.DEVNULL)
            deadline = time.monotonic() + 5
            while "ev" not in trace_lines(folder) and time.monotonic() < deadline:
                time.sleep(0.005)
            time.sleep(0.05)
            if how == "end of input":
                proc.stdin.close()
            else:
                proc.send_signal(signal.SIGTERM)
            ms = wait_end(proc, 5.0)
            times.append(ms)
            lines = trace_lines(folder)
            after = lines[len(lines) - lines[::-1].index("ev"):] if "ev" in lines else []
            if "reset" in after and "close" in after and after.index("reset") < after.index("close"):
                clean += 1
    ended = [t for t in times if t is not None]
    shown = (f"median {statistics.median(ended):.1f} ms, worst {max(ended):.1f} ms" if ended else "none")
    print(f"| {how}, a note held | {len(ended)}/{runs} ended within 5 s: {shown} | "
          f"trace ends reset ... close in {clean}/{runs} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    print("| case | result | |\n|---|---|---|")
    unread_stderr(binary)
    unread_stderr_looping(binary)
    exits(binary, args.runs, "end of input")
    exits(binary, args.runs, "SIGTERM")


if __name__ == "__main__":
    main()
