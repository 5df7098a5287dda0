"""Loop points at the ear: four passes of a woodblock piece played with
`smfstream --loop-points`, each onset against its exact time.

The file (ours): one woodblock, an intro of 10 notes, a Control Change 111,
then a loop of 20 notes up to the file's end, 480 ticks per quarter, a tempo
change every five notes in the intro and in the loop. Pass 1 plays the intro
and the loop; passes 2 to 4 the loop alone, each starting with the tempo the
loop start had. With seamless passes, the loop's notes of pass k + 1 come
exactly one loop length (the loop's time in the file) after those of pass k.
Each onset is found to the sample as bench/synth_onsets.py finds it; error =
onset - exact time - the median of that over all notes. A seam's figure is
the median error of a pass's notes less that of the pass before: 0 when the
passes are seamless; "within a pass" measures each note against its own
pass's median, the seams left out.

    python3 bench/loop_onsets.py --program build-bench/src/smfstream [--periods 64] [--no-busy]
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from smf_schedule import schedule  # noqa: E402
from synth_onsets import DRY, Busy, _Quiet, onset_offsets  # noqa: E402
from synth_timing import RATE, percentile, read_mono, smf  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PASSES = 4


def loop_woodblock_file(path, intro=10, loop=20, seed=28, gaps=(170, 420), length=40):
    """The woodblock piece with a loop start after `intro` notes."""
    rng = random.Random(seed)
    events = [(0, [0xC0, 115])]
    gap = 0
    for i in range(intro + loop):
        if i == intro:
            events.append((gap, [0xB0, 111, 0]))
            gap = 0
        if i % 5 == 0:
            tempo = rng.randrange(300000, 600000)
            events.append((gap, [0xFF, 0x51, 3, tempo >> 16, (tempo >> 8) & 0xFF, tempo & 0xFF]))
            gap = 0
        events.append((gap, [0x90, 76, 100]))
        events.append((length, [0x80, 76, 0]))
        gap = rng.randrange(gaps[0], gaps[1] + 1) - length
    events.append((gap, [0xB0, 7, 100]))  # the loop's last gap, then its end
    with open(path, "wb") as f:
        f.write(smf(events, 480))


def loop_exact_onsets(midi, passes=PASSES):
    """Each pass's note onsets in seconds from the first pass's start, as
    seamless passes put them; and the index of each later pass's first."""
    records = schedule(midi)
    start = next(r for r in records if not r.tempo and (r.word & 0xFFF0) == 0x6FB0)
    end = records[-1]
    notes = [r for r in records if not r.tempo and (r.word & 0xF0) == 0x90 and r.tick < end.tick]
    onsets = [r.due_us / 1e6 for r in notes]
    loop_length = (end.due_us - start.due_us) / 1e6
    firsts = []
    for k in range(1, passes):
        base = end.due_us / 1e6 + (k - 1) * loop_length
        firsts.append(len(onsets))
        onsets += [base + (r.due_us - start.due_us) / 1e6 for r in notes if r.tick >= start.tick]
    return onsets, firsts


def play_passes(program, midi, env, passes=PASSES):
    process = subprocess.Popen([program, "--loop-points", "255", midi], env=dict(os.environ, **env),
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for _ in range(passes):
        if process.stdout.read(1) != b"1":
            break
    time.sleep(0.5)  # the last pass's sound reaches the output
    process.stdin.close()
    process.wait(timeout=120)


def seam_errors(samples, exact, firsts):
    """The errors of all notes (ms, against their median), and what each
    seam adds: the median offset of pass k + 1's notes less that of pass k's."""
    offsets = onset_offsets(samples, exact, follow=True)
    found = [f for f in offsets if f is not None]
    if not found:
        return None, None
    median = statistics.median(found)
    errors = [abs(f - median) * 1000 for f in found]
    result = {"notes": len(found), "of": len(exact), "p50": percentile(errors, 50), "p95": percentile(errors, 95),
              "max": max(errors)}
    bounds = [0] + firsts + [len(exact)]
    medians = []
    for k in range(len(bounds) - 1):
        pass_found = [f for f in offsets[bounds[k]:bounds[k + 1]] if f is not None]
        medians.append(statistics.median(pass_found) if pass_found else None)
    seams = [None if a is None or b is None else (b - a) * 1000 for a, b in zip(medians, medians[1:])]
    within = [abs(f - medians[k]) * 1000 for k in range(len(medians)) if medians[k] is not None
              for f in offsets[bounds[k]:bounds[k + 1]] if f is not None]
    result["within_max"] = max(within)
    return result, seams


def measure(program, periods, busy_too=True, log=print):
    rows = []
    with tempfile.TemporaryDirectory(prefix="smfstream-loop-onsets-") as directory:
        midi = os.path.join(directory, "loop-woodblock.mid")
        loop_woodblock_file(midi)
        exact, firsts = loop_exact_onsets(midi)
        runs = [("smfstream --loop-points `synth:FILE.wav`", "synth:%s", DRY)]
        runs += [(f"smfstream --loop-points live, `file` driver, period {p}", "synth",
                  f"audio.driver=file audio.file.name=%s audio.period-size={p} {DRY}") for p in periods]
        for load in (["quiet", "busy"] if busy_too else ["quiet"]):
            for name, device, settings in runs:
                log(f"  loop onsets: {name}, {load}")
                out = os.path.join(directory, f"loop_{len(rows)}.wav")
                with (Busy() if load == "busy" else _Quiet()):
                    play_passes(program, midi, {"SMFSTREAM_DEVICE": device.replace("%s", out),
                                                "SMFSTREAM_SYNTH_SETTINGS": settings.replace("%s", out)})
                    load_avg = os.getloadavg()[0]
                result, seams = seam_errors(read_mono(out), exact, firsts)
                row = dict(result or {}, name=name, load=load, loadavg=load_avg, seams=seams)
                rows.append(row)
    return rows


def table(rows):
    lines = ["| rendering | machine | notes | error p50 | p95 | max | max within a pass | seams (passes 2-4 against "
             "the pass before) |", "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        machine = f"{r['load']} (load {r['loadavg']:.1f})"
        seams = ", ".join("-" if s is None else f"{s:+.2f}" for s in (r["seams"] or []))
        if "p50" in r:
            lines.append(f"| {r['name']} | {machine} | {r['notes']} of {r['of']} | {r['p50']:.2f} ms | "
                         f"{r['p95']:.2f} ms | {r['max']:.2f} ms | {r['within_max']:.2f} ms | {seams} ms |")
        else:
            lines.append(f"| {r['name']} | {machine} | none found | - | - | - | - | - |")
    lines.append("")
    lines.append("Goal: every onset within 0.8 ms of its exact time, the seams included (each seam near 0).")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(ROOT, "build-bench", "src", "smfstream"))
    parser.add_argument("--periods", default="64")
    parser.add_argument("--no-busy", action="store_true", help="the quiet rows only")
    args = parser.parse_args()
    periods = [int(p) for p in args.periods.split(",") if p]
    rows = measure(args.program, periods, not args.no_busy, lambda m: print(m, file=sys.stderr))
    print("\n".join(table(rows)))


if __name__ == "__main__":
    main()
