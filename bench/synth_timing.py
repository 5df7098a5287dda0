"""The software synthesizer's timing and release, measured on what it renders.

Onsets: a piece of ours (music/demo.mid) is rendered by FluidSynth's own
player offline (fluidsynth -F) and by smfstream's synthesizer live, through
FluidSynth's `file` audio driver (which renders in real time, period by
period, like a sound card's callback) at several periods, and into a WAV
file. For every note that starts alone (no other onset 50 ms before or 20 ms
after it), its offset between the two renderings is found by correlating the
note's first 25 ms; jitter is each offset minus the median offset. Both
renderings come from the same synthesizer; FluidSynth's own player puts a
note in the block its millisecond clock reaches, smfstream in the block
nearest the note's exact time, so the jitter here is the two roundings
together (up to about two blocks); bench/synth_onsets.py measures each
against the exact time.

Release: a chord held by strings is switched away from (a new file), and the
old sound's fall from half its level to 1% is timed in the WAV file.

    python3 bench/synth_timing.py --program build-bench/smfstream [--quick]
"""

import argparse
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from smf_schedule import schedule  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOUNDFONT = "/usr/share/sounds/sf2/default-GM.sf2"
RATE = 44100
BLOCK = 64


def read_mono(path):
    with wave.open(path) as w:
        channels, width, frames = w.getnchannels(), w.getsampwidth(), w.getnframes()
        data = w.readframes(frames)
    if width != 2:
        raise SystemExit(f"{path}: not 16-bit")
    values = struct.unpack(f"<{len(data) // 2}h", data)
    if channels == 1:
        return [v / 32768 for v in values]
    return [(values[i] + values[i + 1]) / 65536 for i in range(0, len(values) - 1, 2)]


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = (len(ordered) - 1) * p / 100
    lo = int(k)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def lone_onsets(midi):
    """Times (s) of the note onsets no other onset crowds."""
    times = sorted(r.due_us / 1e6 for r in schedule(midi)
                   if not r.tempo and (r.word & 0xF0) == 0x90 and (r.word >> 16) & 0x7F)
    groups = []
    for t in times:
        if groups and t - groups[-1] < 0.001:
            continue
        groups.append(t)
    return [t for i, t in enumerate(groups)
            if (i == 0 or t - groups[i - 1] >= 0.050) and (i + 1 == len(groups) or groups[i + 1] - t >= 0.020)]


def correlation(a, a_at, b, b_at, length):
    if a_at < 0 or b_at < 0 or a_at + length > len(a) or b_at + length > len(b):
        return -1.0
    sab = saa = sbb = 0.0
    for i in range(0, length, 2):
        x, y = a[a_at + i], b[b_at + i]
        sab += x * y
        saa += x * x
        sbb += y * y
    return sab / ((saa * sbb) ** 0.5) if saa > 0 and sbb > 0 else -1.0


def first_sound(samples, quiet=0.01):
    top = max((abs(v) for v in samples), default=0)
    for i, v in enumerate(samples):
        if top and abs(v) >= quiet * top:
            return i
    return 0


def offsets(reference, ours, onsets):
    """Each lone note's offset of ours against the reference, in frames."""
    window = int(0.025 * RATE)
    lead = int(0.002 * RATE)
    # The whole rendering's offset: the first sound, then the block that
    # correlates best around it on the first notes.
    rough = first_sound(ours) - first_sound(reference)
    found = []
    base = None
    for t in onsets:
        at = int(t * RATE) - lead
        if base is None:
            candidates = range(rough - 40 * BLOCK, rough + 40 * BLOCK, 1)
        else:
            candidates = range(base - 24 * BLOCK, base + 24 * BLOCK + 1, BLOCK)
        best, best_lag = -2.0, None
        for lag in candidates:
            c = correlation(reference, at, ours, at + lag, window)
            if c > best:
                best, best_lag = c, lag
        if best_lag is None or best < 0.6:
            continue
        if base is None:
            base = best_lag
        found.append(best_lag)
    return found


def jitter(found):
    if not found:
        return None
    median = statistics.median(found)
    devs = [abs(f - median) * 1000 / RATE for f in found]
    return {"notes": len(found), "p50": percentile(devs, 50), "p95": percentile(devs, 95), "max": max(devs)}


def play_once(program, midi, env, volume="255"):
    """smfstream plays one pass; its standard input closes after the first "1"."""
    full = dict(os.environ, **env)
    process = subprocess.Popen([program, volume, midi], env=full, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.read(1)
    process.stdin.close()
    err = process.stderr.read()
    process.wait(timeout=120)
    return err.decode(errors="replace")


def latency_said(err):
    m = re.search(r"latency ([0-9.]+) ms", err)
    return float(m.group(1)) if m else None


LEVEL_WINDOW = int(0.005 * RATE)


def levels(samples):
    """The peak level of each 5 ms window."""
    return [max(abs(v) for v in samples[i:i + LEVEL_WINDOW])
            for i in range(0, len(samples) - LEVEL_WINDOW, LEVEL_WINDOW)]


def vlq(v):
    """A variable-length quantity, as a MIDI file writes it."""
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.insert(0, 0x80 | (v & 0x7F))
        v >>= 7
    return bytes(out)


def smf(events, division=96):
    """A format-0 file of (delta, bytes) events."""
    track = b"".join(vlq(d) + bytes(e) for d, e in events) + b"\x00\xff\x2f\x00"
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, division) + b"MTrk" + struct.pack(">I", len(track)) + track


def held_chord_files(directory):
    """A string chord held 6 s, and a file of rest to switch to."""
    chord = [(0, [0xC0, 48]), (0, [0x90, 60, 110]), (0, [0x90, 64, 110]), (0, [0x90, 67, 110]),
             (96 * 12, [0x80, 60, 0]), (0, [0x80, 64, 0]), (0, [0x80, 67, 0])]
    rest = [(0, [0xC0, 0]), (96 * 8, [0x90, 20, 1]), (1, [0x80, 20, 0])]
    held, silent = os.path.join(directory, "held.mid"), os.path.join(directory, "rest.mid")
    with open(held, "wb") as f:
        f.write(smf(chord))
    with open(silent, "wb") as f:
        f.write(smf(rest))
    return held, silent


def release(program, directory):
    """Plays the held chord into a WAV file, switches to the rest after 1.5 s
    and times the old sound's fall from half its level to 1%."""
    held, silent = held_chord_files(directory)
    out = os.path.join(directory, "release.wav")
    env = dict(os.environ, SMFSTREAM_DEVICE=f"synth:{out}")
    process = subprocess.Popen([program, "255", held], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    name = silent.encode()
    process.stdin.write(bytes([len(name) & 0xFF, len(name) >> 8]) + name)
    process.stdin.flush()
    time.sleep(2.5)
    process.stdin.close()
    process.wait(timeout=30)
    samples = read_mono(out)
    level = levels(samples)
    # The held level: the loudest 5 ms between 0.5 s after the sound starts and 1.2 s.
    start = first_sound(samples) // LEVEL_WINDOW
    held_level = max(level[start + 100:start + 240])
    # The fall begins where the level first drops below half the held level.
    half = next((i for i in range(start + 100, len(level)) if level[i] < held_level / 2), None)
    if half is None:
        return None
    gone = next((i for i in range(half, len(level)) if level[i] < held_level / 100), len(level))
    return (gone - half) * LEVEL_WINDOW * 1000 / RATE


def measure(program, midi, periods, log=print):
    """Every figure: a row per rendering, and the held chord's fall."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="smfstream-timing-") as directory:
        reference = os.path.join(directory, "fluidsynth.wav")
        subprocess.run(["fluidsynth", "-ni", "-q", "-r", str(RATE), "-F", reference, SOUNDFONT, midi],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ref = read_mono(reference)
        onsets = lone_onsets(midi)
        runs = [(f"live, period {p}", "synth", f"audio.driver=file audio.file.name=%s audio.period-size={p}")
                for p in periods]
        runs.append(("into WAV", "synth:%s", ""))
        for name, device, settings in runs:
            log(f"  synth timing: {name}")
            out = os.path.join(directory, re.sub(r"\W+", "_", name) + ".wav")
            env = {"SMFSTREAM_DEVICE": device.replace("%s", out),
                   "SMFSTREAM_SYNTH_SETTINGS": settings.replace("%s", out)}
            err = play_once(program, midi, env)
            result = jitter(offsets(ref, read_mono(out), onsets)) or {}
            result.update(name=name, latency=latency_said(err), lone=len(onsets),
                          period=int(name.split()[-1]) if "period" in name else None)
            rows.append(result)
        log("  synth timing: release")
        fall = release(program, directory)
        log("  synth timing: exit fade")
        fades = [exit_fade(program, directory, p) for p in periods]
    return {"rows": rows, "release_ms": fall, "exit": fades}


def table(result):
    """The figures as Markdown lines, with the goals beside them."""
    lines = ["| smfstream `synth` | notes | jitter p50 | p95 | max | latency | goal (p95 / max / latency) |",
             "|---|---|---|---|---|---|---|"]
    for r in result["rows"]:
        if r.get("period"):
            goal_latency = f"≤ {r['period'] * 1000 / RATE + 5:.1f} ms"
            lat = f"{r['latency']:.1f} ms" if r.get("latency") is not None else "not stated"
        else:
            goal_latency, lat = "-", "none: rendered 100 ms behind the clock"
        goal = f"≤ 0.5 ms / ≤ 2 ms / {goal_latency}"
        if "p50" in r:
            lines.append(f"| {r['name']} | {r['notes']} of {r['lone']} | {r['p50']:.2f} ms | {r['p95']:.2f} ms | "
                         f"{r['max']:.2f} ms | {lat} | {goal} |")
        else:
            lines.append(f"| {r['name']} | 0 of {r['lone']} | - | - | - | {lat} | {goal} |")
    fall = result.get("release_ms")
    lines.append("")
    lines.append(f"A held string chord stopped by a switch falls from half its level to 1% in {fall:.0f} ms "
                 "(goal ≥ 200 ms)." if fall is not None else "A held chord stopped by a switch: no fall found.")
    for f in result.get("exit", []):
        lines.append("")
        lines.append(f"At the exit, period {f['period']}: from half level to 1% in {f['fade_ms']} ms "
                     "(goal: within 50 ms, without a click).")
    return lines


def exit_fade(program, directory, period):
    """The held chord, live through the `file` driver at a period, until the
    controller's input ends: how long the sound takes from half its level to
    1% (5 ms windows)."""
    held, _ = held_chord_files(directory)
    out = os.path.join(directory, f"exit_{period}.wav")
    env = dict(os.environ, SMFSTREAM_DEVICE="synth",
               SMFSTREAM_SYNTH_SETTINGS=f"audio.driver=file audio.file.name={out} audio.period-size={period}")
    process = subprocess.Popen([program, "255", held], env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    process.stdin.close()
    process.wait(timeout=30)
    level = levels(read_mono(out))
    # The held level: the median of the 5 ms windows 300 to 60 ms before the
    # sound ends; the fall: from the last window at half of it to the first
    # below 1% of it.
    top = max(level, default=0)
    last = max((i for i, v in enumerate(level) if v >= top / 100), default=0)
    held = statistics.median(level[max(0, last - 60):max(1, last - 12)])
    half = max((i for i in range(last + 1) if level[i] >= held / 2), default=0) + 1
    gone = next((i for i in range(half, len(level)) if level[i] < held / 100), len(level))
    return {"period": period, "fade_ms": (gone - half) * 5}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(ROOT, "build-bench", "src", "smfstream"))
    parser.add_argument("--midi", default=os.path.join(ROOT, "music", "demo.mid"))
    parser.add_argument("--periods", default="64,1024,4096")
    args = parser.parse_args()
    result = measure(args.program, args.midi, [int(p) for p in args.periods.split(",")])
    print("\n".join(table(result)))


if __name__ == "__main__":
    main()
