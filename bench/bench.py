#!/usr/bin/python3
"""Runs every benchmark side by side and writes BENCHMARKS.md and the plot.

Called by bench/run, which builds the programs first. See bench/README.md.
"""

import argparse
import datetime
import json
import math
import os
import platform
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from smf_schedule import schedule  # noqa: E402
import synth_onsets  # noqa: E402
import synth_timing  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"  # Debian's, where python3-mido lives
TIME = "/usr/bin/time"

FILES = [
    ("dense_piano", "dense piano: 3 tracks, five-note chords in 32nd notes and 16th-note fifths, pedal"),
    ("many_tracks", "many tracks: 256 tracks, staggered notes on each"),
    ("tempo_changes", "many tempo changes: a tempo change every 64th note, 16th notes"),
    ("smpte", "SMPTE division: 30 frames × 80 ticks (416.67 µs a tick), a tempo event it ignores"),
    ("long", "long: a steady piece at 472441 µs a quarter, 480 ticks a quarter (984.25 µs a tick)"),
]

# Goals (microseconds, percent, bytes); the benchmarks report, they never fail.
GOAL_P99_ABOVE_FLOOR = 500
GOAL_MAX = 2000
GOAL_DRIFT = 1000
GOAL_SWITCH_MEDIAN = 2000
GOAL_SEAM_MEDIAN = 500
GOAL_SEAM_P99 = 1000
GOAL_STARTUP = 5000
GOAL_STARTUP_ABOVE_FLOOR = 500
GOAL_CPU_PERCENT = 1.0
GOAL_MEMORY_BASE = 4 * 1024 * 1024


def rel(path):
    return os.path.relpath(path, ROOT)


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------- statistics

def percentile(values, p):
    """Nearest-rank percentile of a list of numbers."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


def summary(values):
    return {
        "n": len(values),
        "median": percentile(values, 50),
        "p90": percentile(values, 90),
        "p99": percentile(values, 99),
        "max": max(values) if values else float("nan"),
        "min": min(values) if values else float("nan"),
        "over_1ms": sum(1 for v in values if v > 1000),
    }


def fmt_us(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    if abs(value) >= 100000:
        return f"{value / 1000:.0f} ms"
    if abs(value) >= 10000:
        return f"{value / 1000:.1f} ms"
    return f"{value:.0f} µs"


def ratio(a, b):
    if b is None or a is None or b == 0 or math.isnan(a) or math.isnan(b):
        return "n/a"
    return f"{a / b:.2f}×"


# ---------------------------------------------------------------- the machine around a run

def cpu_jiffies():
    """The machine's busy and total CPU time so far (/proc/stat), in jiffies."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return sum(fields[:8]) - idle, sum(fields[:8])


class Around:
    """What the rest of the machine did while a measurement ran: its CPU time
    in cores beside our own processes' (children's) and the load average at
    the end. A goal missed is shown beside these figures of the same moment."""

    def __enter__(self):
        self.jiffies = cpu_jiffies()
        self.children = os.times()
        self.start = time.monotonic()
        return self

    def __exit__(self, *_):
        busy, total = cpu_jiffies()
        times = os.times()
        wall = max(time.monotonic() - self.start, 1e-9)
        cores = os.cpu_count() or 1
        machine = cores * (busy - self.jiffies[0]) / max(total - self.jiffies[1], 1)
        ours = ((times.children_user - self.children.children_user)
                + (times.children_system - self.children.children_system)) / wall
        self.figures = {"others_cores": max(machine - ours, 0.0), "ours_cores": ours,
                        "load": os.getloadavg()[0]}
        return False


def around_text(a):
    if not a:
        return "n/a"
    return f"others' CPU {a['others_cores']:.2f} of {os.cpu_count()} cores, load {a['load']:.2f}"


# ---------------------------------------------------------------- running

class Sampler(threading.Thread):
    """Samples the memory of the program that /usr/bin/time runs."""

    def __init__(self, time_pid):
        super().__init__(daemon=True)
        self.time_pid = time_pid
        self.stop = threading.Event()
        self.peak = {}
        self.policies = set()  # of the program's threads: 0 SCHED_OTHER, 1 SCHED_FIFO

    def child(self):
        try:
            with open(f"/proc/{self.time_pid}/task/{self.time_pid}/children") as f:
                pids = f.read().split()
            return pids[0] if pids else None
        except OSError:
            return None

    def run(self):
        while not self.stop.wait(0.25):
            pid = self.child()
            if not pid:
                continue
            try:
                for task in os.listdir(f"/proc/{pid}/task"):
                    with open(f"/proc/{pid}/task/{task}/stat") as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                    self.policies.add(int(fields[38]))
            except (OSError, IndexError, ValueError):
                pass
            try:
                with open(f"/proc/{pid}/status") as f:
                    for line in f:
                        key, _, rest = line.partition(":")
                        if key in ("VmRSS", "RssAnon", "RssFile", "RssShmem", "VmHWM", "Threads"):
                            value = int(rest.split()[0])
                            self.peak[key] = max(self.peak.get(key, 0), value)
            except OSError:
                pass


def timed(argv, env=None, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
          while_running=None):
    """Runs argv under /usr/bin/time -v. Returns wall seconds, CPU seconds,
    peak resident kB, the sampled memory and time's report."""
    report = os.path.join(work_dir, "time.txt")
    start = time.monotonic()
    with Around() as around:
        process = subprocess.Popen([TIME, "-v", "-o", report] + argv, env=env, stdin=stdin, stdout=stdout,
                                   stderr=stderr)
        sampler = Sampler(process.pid)
        sampler.start()
        if while_running:
            while_running(process)
        _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - start
    sampler.stop.set()
    sampler.join()
    with open(report) as f:
        text = f.read()
    peak_kb = 0
    for line in text.splitlines():
        if "Maximum resident set size" in line:
            peak_kb = int(line.split(":")[1])
    return {
        "wall_s": wall,
        "cpu_s": usage.ru_utime + usage.ru_stime,
        "user_s": usage.ru_utime,
        "sys_s": usage.ru_stime,
        "peak_kb": peak_kb,
        "sampled": sampler.peak,
        "fifo": 1 in sampler.policies,
        "status": process.returncode,
        "involuntary_switches": usage.ru_nivcsw,
        "around": around.figures,
    }


def play_one_pass(device, midi, stderr_path):
    """smfstream on one file until its first pass ends (its first "1"), then
    the end of its standard input ends it."""
    env = dict(os.environ, SMFSTREAM_DEVICE=device)

    def wait_for_marker(process):
        process.stdout.read(1)
        process.stdin.close()
        process.stdout.close()

    with open(stderr_path, "w") as err:
        return timed([smfstream, "100", midi], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                     while_running=wait_for_marker)


def first_pass(trace_path):
    """The first pass of a trace: its records, buffer by buffer."""
    buffers, current, started = [], [], False
    timediv = None
    with open(trace_path) as f:
        for line in f:
            words = line.split()
            if not words:
                continue
            if words[0] == "timediv":
                timediv = int(words[1])
            elif words[0] == "restart":
                started = True
            elif not started:
                continue
            elif words[0] == "ev":
                current.append((int(words[1]), int(words[2]), int(words[3]), int(words[4], 16)))
            elif words[0] == "done":
                if current:
                    buffers.append(current)
                current = []
            elif words[0] == "close":
                break
    if current:
        buffers.append(current)
    return timediv, buffers


# ---------------------------------------------------------------- the figures

def accuracy(name, midi, cmds):
    """smfstream, the floor and mido on one file, one after another."""
    records = schedule(midi)
    result = {"name": name, "records": len(records), "size": os.path.getsize(midi),
              "length_s": records[-1].due_us / 1e6 if records else 0,
              "due_times": len({round(r.due_us) for r in records})}

    # smfstream with the real-time trace device.
    trace = os.path.join(work_dir, f"{name}.trace")
    if os.path.exists(trace):
        os.unlink(trace)
    dues = os.path.join(work_dir, f"{name}.due")
    with open(dues, "w") as f:
        for r in records:
            f.write(f"{r.due_us:.3f}\n")
    # The floor alongside: the same loop on each core, pinned there, started
    # with the player, so that a record late in the player's run can be set
    # beside what each core allowed at that moment.
    log(f"  smfstream  {name} (the floor alongside)")
    alongside_out = os.path.join(work_dir, f"{name}.with_player")
    alongside = subprocess.Popen([floor_loop, "--timely", "--per-core", dues, alongside_out],
                                 stderr=subprocess.DEVNULL)
    run = play_one_pass(f"trace:{trace}", midi, os.path.join(work_dir, f"{name}.stderr"))
    alongside.wait()
    cmds["alongside"] = f"{rel(floor_loop)} --timely --per-core {rel(dues)} {rel(alongside_out)}"
    cmds["player"] = (f"SMFSTREAM_DEVICE=trace:{rel(trace)} {TIME} -v {rel(smfstream)} 100 {rel(midi)}"
                      " (standard input held open until the first \"1\")")
    _, buffers = first_pass(trace)
    played = [ev for buffer in buffers for ev in buffer]
    lateness = [at - due for _, due, at, _ in played]
    result["player"] = summary(lateness)
    result["player_run"] = run
    result["player_lateness"] = lateness
    result["buffers"] = len(buffers)
    # The first record of the pass and of each refilled buffer against the others.
    firsts = [b[0][2] - b[0][1] for b in buffers[1:]]
    rest = [at - due for b in buffers for _, due, at, _ in b[1:]]
    result["refill_first"] = summary(firsts) if firsts else None
    result["pass_first"] = buffers[0][0][2] - buffers[0][0][1] if buffers else None
    result["refill_rest"] = summary(rest) if rest else None
    # The device's due times against the file's own schedule.
    same = len(played) == len(records) and all(p[3] == r.word for p, r in zip(played, records))
    result["matches_file"] = same
    result["played"] = len(played)
    if len(played) == len(records):
        errors = [p[1] - r.due_us for p, r in zip(played, records)]
        result["due_error"] = (min(errors), max(errors))
    else:
        result["due_error"] = None
    if played:
        result["last"] = {
            "due_vs_file": played[-1][1] - records[len(played) - 1].due_us,
            "at_vs_due": played[-1][2] - played[-1][1],
            "at_vs_file": played[-1][2] - records[len(played) - 1].due_us,
            "due_s": records[len(played) - 1].due_us / 1e6,
        }

    # Each core's floor near the player's latest record (its due time ± 50 ms),
    # and which late records came while a core was held from its floor: a
    # wake-up of the floor late by S at due time d says the core was not to be
    # had over [d, d + S]; a record late by L overlaps it when its own
    # [due, due + L] does.
    try:
        with open(alongside_out) as f:
            beside = [[float(x) for x in line.split()] for line in f]
    except OSError:
        beside = []
    result["alongside"] = summary([x for line in beside for x in line]) if beside else None
    result["alongside_at_worst"] = None
    result["held"] = None
    if played and beside and len(beside) == len(records):
        cores = len(beside[0])
        worst = max(played, key=lambda ev: ev[2] - ev[1])
        near = [late for r, late in zip(records, beside) if abs(r.due_us - worst[1]) <= 50000]
        result["alongside_at_worst"] = {"due_us": worst[1],
                                        "cores": [max(line[c] for line in near) for c in range(cores)]}
        stalls = [(r.due_us, r.due_us + max(line)) for r, line in zip(records, beside) if max(line) > 500]

        def held(due, at):
            return any(start <= at and end >= due for start, end in stalls)

        over = [(due, at) for _, due, at, _ in played if at - due > GOAL_MAX]
        free = [at - due for _, due, at, _ in played if not held(due, at)]
        result["held"] = {"over": len(over), "over_held": sum(held(d, a) for d, a in over),
                          "free_max": max(free) if free else None, "cores": cores}

    # The floor, with the same deadlines: scheduled as the player thread is,
    # and (short files) as an ordinary process is.
    for key, flags in (("floor", ["--timely"]), ("plain", [])):
        if key == "plain" and name == "long":
            continue
        out = os.path.join(work_dir, f"{name}.{key}")
        log(f"  {key:10} {name}")
        with open(os.path.join(work_dir, f"{name}.{key}.stderr"), "w") as err:
            run = timed([floor_loop] + flags + [dues, out], stderr=err)
        with open(os.path.join(work_dir, f"{name}.{key}.stderr")) as err:
            run["said"] = err.read().strip()
        cmds[key] = f"{TIME} -v {rel(floor_loop)} {' '.join(flags + [rel(dues), rel(out)])}"
        with open(out) as f:
            lateness = [float(line) for line in f]
        result[key] = summary(lateness)
        result[f"{key}_run"] = run
        result[f"{key}_lateness"] = lateness
        result[f"{key}_last"] = lateness[-1] if lateness else None

    # The peer.
    out = os.path.join(work_dir, f"{name}.mido")
    log(f"  mido       {name}")
    run = timed([PYTHON, os.path.join(ROOT, "bench", "mido_peer.py"), midi, out])
    cmds["mido"] = f"{TIME} -v {PYTHON} bench/mido_peer.py {rel(midi)} {rel(out)}"
    with open(out) as f:
        stamps = [float(line.split()[0]) for line in f]
    expected = [r.due_us for r in records if not r.tempo]
    result["mido_run"] = run
    if len(stamps) == len(expected):
        late = [s - e for s, e in zip(stamps, expected)]
        result["mido"] = summary(late)
        result["mido_lateness"] = late
        result["mido_last"] = late[-1] if late else None
    else:
        result["mido"] = None
        result["mido_note"] = f"yielded {len(stamps)} messages, the file has {len(expected)}"
    with open(midi, "rb") as f:
        division = int.from_bytes(f.read(14)[12:14], "big")
    if division & 0x8000:
        result["mido_smpte"] = True
    return result


def startup_against_floor(midi, repeats, cmds):
    """Start-up to the first record, against its floor: a bare C program that
    opens the trace and writes the same lines (bench/first_line.c), dynamically
    linked and -static. All three are started in turn, interleaved, so that
    they meet the same machine: one program measured alone a minute later can
    meet another load entirely (on this shared machine the floor alone has
    measured anywhere from 0.85 to 9 ms). The figures are medians; the load
    average is taken before and after. The phases: exec (the static floor),
    libc's dynamic loading (floor − static floor), the player's own start to
    its stream's `open` (its loading, threads, the file, the stream's open;
    `open` − floor), `open` → `restart` (the stream's set-up), `restart` →
    first record (the first fill and the player thread's first turn)."""
    out = os.path.join(work_dir, "startup.txt")
    load_before = os.getloadavg()
    with Around() as around:
        subprocess.run([stream_driver, "startup", smfstream, midi, str(repeats), out, first_line, first_line_static],
                       check=True, cwd=ROOT)
    load_after = os.getloadavg()
    cmds["startup"] = (f"{rel(stream_driver)} startup {rel(smfstream)} {midi} {repeats} {rel(out)} "
                       f"{rel(first_line)} {rel(first_line_static)}")
    with open(out) as f:
        rows = [list(map(float, line.split())) for line in f]
    player = [r for r in rows if r[0] == 0]
    floor = [r for r in rows if r[0] == 1]
    static = [r for r in rows if r[0] == 2]
    startup = {
        "first": summary([r[3] for r in player]),
        "open": summary([r[1] for r in player]),
        "restart": summary([r[2] for r in player]),
        "first_at": summary([r[4] for r in player]),
        "values": [r[3] for r in player],
        "floor": summary([r[3] for r in floor]),
        "floor_values": [r[3] for r in floor],
        "floor_static": summary([r[3] for r in static]),
        "load": (load_before, load_after),
        "around": around.figures,
    }
    exec_only = startup["floor_static"]["median"]
    floor_first = startup["floor"]["median"]
    startup["phases"] = [
        ("exec (a -static C program's first line)", exec_only),
        ("libc's dynamic loading (the C program's first line − the static one's)", floor_first - exec_only),
        ("the player's own start to `open`: its loading, threads, the file, the stream's open "
         "(`open` − the C program's first line)", startup["open"]["median"] - floor_first),
        ("`open` → `restart`", startup["restart"]["median"] - startup["open"]["median"]),
        ("`restart` → first record: the first fill, the player thread's first turn",
         startup["first"]["median"] - startup["restart"]["median"]),
    ]
    return startup


def startup_and_switch(files_dir, repeats_start, repeats_switch, cmds):
    a = rel(os.path.join(files_dir, "dense_piano.mid"))
    b = rel(os.path.join(files_dir, "long.mid"))
    log("  start-up, against its floor")
    startup = startup_against_floor(a, repeats_start, cmds)

    out = os.path.join(work_dir, "switch.txt")
    log("  switch")
    with Around() as around:
        subprocess.run([stream_driver, "switch", smfstream, a, b, str(repeats_switch), out], check=True, cwd=ROOT)
    cmds["switch"] = f"{rel(stream_driver)} switch {rel(smfstream)} {a} {b} {repeats_switch} {rel(out)}"
    with open(out) as f:
        rows = [list(map(float, line.split())) for line in f]
    switch = {
        "first": summary([r[2] for r in rows]),
        "reset": summary([r[0] for r in rows]),
        "restart": summary([r[1] for r in rows]),
        "first_at": summary([r[3] for r in rows]),
        "values": [r[2] for r in rows],
        "around": around.figures,
    }
    return startup, switch


def loop_seam(files_dir, repeats, cmds):
    """The seam between two passes of a short file that loops: its closing
    rest's due time → the next pass's first record sent, and its parts."""
    out = os.path.join(work_dir, "seam.txt")
    loop = rel(os.path.join(files_dir, "loop.mid"))
    log("  loop seam")
    with Around() as around:
        subprocess.run([stream_driver, "seam", smfstream, loop, str(repeats), out], check=True, cwd=ROOT)
    cmds["seam"] = f"{rel(stream_driver)} seam {rel(smfstream)} {loop} {repeats} {rel(out)}"
    with open(out) as f:
        rows = [list(map(float, line.split())) for line in f]
    names = ("seam", "late", "teardown", "load", "open", "fill", "first_at")
    seam = {name: summary([r[i] for r in rows]) for i, name in enumerate(names)}
    seam["around"] = around.figures
    return seam


def synth(midi, cmds):
    wav = os.path.join(work_dir, "synth.wav")
    if os.path.exists(wav):
        os.unlink(wav)
    stderr_path = os.path.join(work_dir, "synth.stderr")
    log("  synth")
    run = play_one_pass(f"synth:{wav}", midi, stderr_path)
    cmds["synth"] = (f"SMFSTREAM_DEVICE=synth:{rel(wav)} {TIME} -v {rel(smfstream)} 100 {rel(midi)}"
                     " (standard input held open until the first \"1\")")
    with open(stderr_path) as f:
        said = f.read()
    if "no MIDI output" in said or not os.path.exists(wav) or os.path.getsize(wav) <= 44:
        first = said.strip().splitlines()[:1]
        return {"pending": True, "why": first[0] if first else "no WAV file written"}
    run["wav_bytes"] = os.path.getsize(wav)
    run["pending"] = False
    return run


def merge(quick, cmds):
    out = os.path.join(work_dir, "merge.json")
    argv = [merge_throughput, "--benchmark_format=console", f"--benchmark_out={out}", "--benchmark_out_format=json"]
    if quick:
        argv.append("--benchmark_min_time=0.05")
    log("  merge throughput")
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    cmds["merge"] = " ".join(rel(a) if a.startswith(ROOT) else a for a in argv).replace(ROOT + "/", "")
    with open(out) as f:
        data = json.load(f)
    rows = []
    for b in data["benchmarks"]:
        rows.append({
            "tracks": int(b["name"].split("/")[1]),
            "records_per_s": b["records_per_s"],
            "s_per_fill": b["s_per_fill"],
        })
    return rows


# ---------------------------------------------------------------- the plot

def plot(results, startup, switch, png):
    data_dir = os.path.join(work_dir, "plot")
    os.makedirs(data_dir, exist_ok=True)

    def series(values, path):
        ordered = sorted(values)
        n = len(ordered)
        with open(path, "w") as f:
            for i, v in enumerate(ordered):
                f.write(f"{max(v, 1.0):.1f} {(n - i) / n:.6g}\n")

    panels = []
    for r in results:
        lines = []
        for key, title, style in (("player_lateness", "smfstream", "lc rgb '#0060c0' lw 2"),
                                  ("floor_lateness", "floor (bare sleep loop)", "lc rgb '#404040' lw 2 dt 2"),
                                  ("plain_lateness", "floor, ordinary process", "lc rgb '#a0a0a0' lw 1 dt 3"),
                                  ("mido_lateness", "mido play()", "lc rgb '#d04000' lw 2")):
            values = r.get(key)
            if not values or (key == "mido_lateness" and r.get("mido_smpte")):
                continue
            path = os.path.join(data_dir, f"{r['name']}.{key}")
            series(values, path)
            lines.append(f"'{path}' using 1:2 with steps {style} title '{title}'")
        panels.append((r["name"].replace("_", " ") + f" ({r['records']} records)", lines))
    lines = []
    for values, title, style in ((startup["values"], "start-up to first record", "lc rgb '#008000' lw 2"),
                                 (startup["floor_values"], "start-up floor", "lc rgb '#404040' lw 2 dt 2"),
                                 (switch["values"], "switch: command to first record", "lc rgb '#800080' lw 2")):
        path = os.path.join(data_dir, title.replace(" ", "_").replace(":", ""))
        series(values, path)
        lines.append(f"'{path}' using 1:2 with steps {style} title '{title}'")
    panels.append(("start-up and switch latency", lines))

    script = [
        f"set terminal pngcairo size 1500,900 font 'sans,9'",
        f"set output '{png}'",
        "set multiplot layout 2,3 title 'Lateness: fraction of records at least x late (log-log; early or on time counted as 1 µs)'",
        "set logscale xy",
        "set xrange [1:1e6]",
        "set yrange [1e-4:1.05]",
        "set format x '10^{%T}'",
        "set xlabel 'lateness (µs)'",
        "set ylabel 'fraction of records'",
        "set key bottom left",
        "set grid",
    ]
    for i, (title, lines) in enumerate(panels):
        if i == len(panels) - 1:
            script.append("set xlabel 'latency (µs)'")
            script.append("set ylabel 'fraction of starts / switches'")
        script.append(f"set title '{title}'")
        script.append("plot " + ", ".join(lines) if lines else "plot 2 notitle")
    script.append("unset multiplot")
    gp = os.path.join(data_dir, "lateness.gp")
    with open(gp, "w") as f:
        f.write("\n".join(script) + "\n")
    subprocess.run(["gnuplot", gp], check=True)
    return gp


# ---------------------------------------------------------------- the report

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = ""
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                memory = f"{int(line.split()[1]) // 1024} MiB"
    load = open("/proc/loadavg").read().split()[:3]
    return {
        "cores": os.cpu_count(),
        "model": model,
        "kernel": platform.release(),
        "memory": memory,
        "load": " ".join(load),
    }


def git_commit():
    try:
        head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True,
                              check=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no", "--", ".",
                                ":!BENCHMARKS.md", ":!bench-lateness.png"], cwd=ROOT,
                               capture_output=True, text=True).stdout.strip()
        return head + (" (with local changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def yes(ok):
    return "met" if ok else "**missed**"


def report(args, started, host, results, startup, switch, synth_run, merge_rows, cmds, plot_name, gp, notes, parts,
           command, timing=None, seam=None, extra=None):
    long = next(r for r in results if r["name"] == "long")
    mode = "quick" if args.quick else "full"
    md = []
    w = md.append
    w("# Benchmarks")
    w("")
    w(f"Measured {started:%Y-%m-%d %H:%M} UTC by `{command}` ({mode} run: files of {args.short_seconds:g} s, "
      f"the long one {args.long_seconds:g} s), commit {parts.get('accuracy', {}).get('commit', git_commit())}.")
    later = {k: v for k, v in parts.items() if v.get("at") != parts.get("accuracy", {}).get("at")}
    if later:
        w("")
        w("Parts measured again alone (`bench/run --only PART`): " + "; ".join(
            f"{k} at {v['at']}, commit {v['commit']}, load {v['load']}" for k, v in sorted(later.items())) + ".")
    w("")
    w(f"Machine: {host['cores']} cores, {host['model']}, Linux {host['kernel']}, {host['memory']} memory; "
      f"load average (1, 5, 15 min) {host['load']} at the start, {host['end_load']} at the end. Build: RelWithDebInfo (gcc, -O2), `-DSMFSTREAM_BENCH=ON`.")
    w("")
    w("Every figure below comes from the same run; the player, the floor and the peer play each file one after "
      "another, so that they meet the same machine. Lateness is the time a record was sent minus the time it was "
      "due; the plot is " f"[{plot_name}]({plot_name}).")
    w("")
    w(f"![lateness]({plot_name})")
    w("")
    w("## Goals")
    w("")
    w("Each goal names the statistic it judges and its rule; beside it, figures of the same run that show what "
      "the machine did at that moment: the floor (the same deadlines, slept to by a bare loop) on each core, "
      "pinned there, started with the player: each core's worst wake-up within 50 ms of the player's most late "
      "record, and the records late while a core was held from its floor (its wake-up at or before the record's "
      "sending, late past the record's due time); the CPU the rest of the machine "
      "took during the measurement (/proc/stat, less our own processes) and the load average at its end; the "
      "player's involuntary context switches.")
    w("")
    w("| goal | statistic | rule | figure | | beside it, same run |")
    w("|---|---|---|---|---|---|")

    def goal(what, statistic, rule, figure, ok, beside=""):
        w(f"| {what} | {statistic} | {rule} | {figure} | {yes(ok)} | {beside} |")

    for r in results:
        p = r["player"]
        f = r["floor"]
        run = r["player_run"]
        at_worst = r.get("alongside_at_worst")
        beside = []
        if at_worst and at_worst.get("cores"):
            beside.append(f"the floor on each core near the most late record ({at_worst['due_us'] / 1e6:.2f} s): "
                          + ", ".join(fmt_us(x) for x in at_worst["cores"]))
        h = r.get("held")
        if h and h["over"]:
            beside.append(f"records > {GOAL_MAX / 1000:g} ms late: {h['over']}, {h['over_held']} of them at a moment "
                          f"a core was held from its floor; the most late record at no such moment: "
                          f"{fmt_us(h['free_max'])}")
        beside.append(around_text(run.get("around")))
        if "involuntary_switches" in run:
            beside.append(f"{run['involuntary_switches']} involuntary switches")
        goal(f"{r['name']}: lateness per record", "p99 and max", "p99 ≤ the floor's p99 + 0.5 ms; max ≤ 2 ms",
             f"p99 {fmt_us(p['p99'])} (floor {fmt_us(f['p99'])}), max {fmt_us(p['max'])} (floor {fmt_us(f['max'])})",
             p["p99"] <= f["p99"] + GOAL_P99_ABOVE_FLOOR and p["max"] <= GOAL_MAX, "; ".join(beside))
    last = long.get("last")
    if last:
        drift = last["at_vs_file"]
        goal(f"no drift over {long['last']['due_s']:.0f} s", "the last record's time sent − its time in the file",
             "≤ 1 ms", fmt_us(drift), abs(drift) <= GOAL_DRIFT, f"the floor's last wake-up: {fmt_us(long['floor_last'])}")
    s = switch["first"]
    goal("switch latency: command → first record of the new file", "median", "< 2 ms", fmt_us(s["median"]),
         s["median"] < GOAL_SWITCH_MEDIAN, f"p90 {fmt_us(s['p90'])}, max {fmt_us(s['max'])}; "
         + around_text(switch.get("around")))
    if seam:
        s = seam["seam"]
        goal("loop seam: closing rest due → next pass's first record", "median and p99", "median < 0.5 ms, p99 < 1 ms",
             f"median {fmt_us(s['median'])}, p99 {fmt_us(s['p99'])}",
             s["median"] < GOAL_SEAM_MEDIAN and s["p99"] < GOAL_SEAM_P99,
             f"p99 of its parts: the closing rest's own lateness {fmt_us(seam['late']['p99'])}, teardown "
             f"{fmt_us(seam['teardown']['p99'])}, load {fmt_us(seam['load']['p99'])}, open {fmt_us(seam['open']['p99'])}, "
             f"first fill {fmt_us(seam['fill']['p99'])}; " + around_text(seam.get("around")))
    s = startup["first"]
    goal("start-up: spawned → first record", "median", "< 5 ms", f"{fmt_us(s['median'])} (max {fmt_us(s['max'])})",
         s["median"] < GOAL_STARTUP, f"a bare C program's: median {fmt_us(startup['floor']['median'])}; "
         + around_text(startup.get("around")))
    above = startup["first"]["median"] - startup["floor"]["median"]
    goal("start-up against a bare C program's, started in turn", "median − the C program's median", "≤ 0.5 ms",
         f"{fmt_us(above)} above", above <= GOAL_STARTUP_ABOVE_FLOOR,
         f"the exec alone (-static): median {fmt_us(startup['floor_static']['median'])}; "
         + around_text(startup.get("around")))
    run = long["player_run"]
    cpu = 100 * run["cpu_s"] / run["wall_s"]
    goal(f"trace device CPU while playing ({long['name']}, {run['wall_s']:.0f} s)", "CPU time ÷ wall time",
         "< 1% of a core", f"{cpu:.3f}%", cpu < GOAL_CPU_PERCENT,
         f"floor: {100 * long['floor_run']['cpu_s'] / long['floor_run']['wall_s']:.3f}%")
    busiest = max(results, key=lambda r: r["player_run"]["cpu_s"] / r["player_run"]["wall_s"])
    run = busiest["player_run"]
    cpu = 100 * run["cpu_s"] / run["wall_s"]
    goal(f"… the same on the busiest file ({busiest['name']}, {run['wall_s']:.0f} s)", "CPU time ÷ wall time",
         "< 1% of a core", f"{cpu:.3f}%", cpu < GOAL_CPU_PERCENT,
         f"floor: {100 * busiest['floor_run']['cpu_s'] / busiest['floor_run']['wall_s']:.3f}% "
         f"({busiest['records'] / run['wall_s']:.0f} records/s)")
    worst = max(results, key=lambda r: r["player_run"]["peak_kb"] * 1024 - r["size"])
    limit = GOAL_MEMORY_BASE + worst["size"]
    goal(f"trace device memory (worst: {worst['name']})", "peak resident set", "< 4 MB + the file's size",
         f"{worst['player_run']['peak_kb']} kB against {limit // 1024} kB", worst["player_run"]["peak_kb"] * 1024 < limit,
         f"floor: {worst['floor_run']['peak_kb']} kB")
    for row in synth_onsets.goals((extra or {}).get("onsets")):
        goal(*row)
    w("")

    w("## Files")
    w("")
    w(f"Written by `{rel(gen_files)} DIR {args.short_seconds:g} {args.long_seconds:g}` "
      "(bench/gen_bench_files.cpp, with tests/support/smf_writer.h); no file from another program.")
    w("")
    w("| file | what | length | records | records/s | distinct due times/s | size |")
    w("|---|---|---|---|---|---|---|")
    for (name, what), r in zip(FILES, results):
        length = r.get("length_s") or float("nan")
        w(f"| {name} | {what} | {length:.1f} s | {r['records']} | {r['records'] / length:.0f} | "
          f"{r.get('due_times', 0) / length:.0f} | {r['size']} B |")
    w("")

    w("## Timing accuracy (lateness per record)")
    w("")
    w("Each cell: median / p99 / max.")
    w("")
    w("| file | smfstream | floor | floor, ordinary process | mido play() | "
      "p99: smfstream ÷ floor | p99: smfstream − floor | p99: mido ÷ smfstream | records > 1 ms late: "
      "smfstream / floor |")
    w("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        p, f, m = r["player"], r["floor"], r.get("mido")
        three = lambda s: f"{fmt_us(s['median'])} / {fmt_us(s['p99'])} / {fmt_us(s['max'])}"  # noqa: E731
        plain = three(r["plain"]) if r.get("plain") else "(not run)"
        if r.get("mido_smpte"):
            mido = ("not supported: reads the SMPTE division as a negative ticks-per-beat and yields every message "
                    f"at once (up to {fmt_us(-m['min'])} early)" if m else "n/a")
            mido_ratio = "n/a"
        elif m:
            mido = three(m)
            mido_ratio = ratio(m["p99"], p["p99"])
        else:
            mido = r.get("mido_note", "n/a")
            mido_ratio = "n/a"
        w(f"| {r['name']} | {three(p)} | {three(f)} | {plain} | {mido} | {ratio(p['p99'], f['p99'])} | "
          f"{fmt_us(p['p99'] - f['p99'])} | {mido_ratio} | {p.get('over_1ms', '?')} / {f.get('over_1ms', '?')} |")
    w("")
    w("Commands (per file; `bench/run` runs them all):")
    w("")
    w(f"- smfstream: `{cmds['player']}`; lateness = AT_US − DUE_US of each `ev` line of the first pass.")
    fifo = any(r["player_run"]["fifo"] for r in results)
    said = results[0]["floor_run"].get("said", "")
    w(f"- floor: `{cmds['floor']}`; the deadlines are the file's own due times (bench/smf_schedule.py), slept to "
      "with clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME), scheduled as the stream's player thread is "
      f"(here: {said or 'see bench/floor_loop.cpp'}; the player thread ran "
      f"{'SCHED_FIFO' if fifo else 'SCHED_OTHER'} in this run). The goal compares with this floor.")
    if "alongside" in cmds:
        w(f"- floor alongside: `{cmds['alongside']}`, one loop on each core, pinned there, at one priority below "
          "the player's so that it never holds it back, started with the player (the goals set its wake-ups beside "
          "the player's most late record).")
    w(f"- floor, ordinary process: `{cmds['plain']}`: the same loop with the default timer slack (50 µs) and "
      "SCHED_OTHER, as any program gets it.")
    w(f"- mido: `{cmds['mido']}`; lateness = the time each message was yielded (from just before the first was "
      "asked for) − its due time in the file.")
    w("")
    w("### The device's due times against the file")
    w("")
    w("The trace's DUE_US of each record against the time computed from the file alone (exact fractions, "
      "bench/smf_schedule.py); DUE_US is rounded down to whole microseconds, so −1 < error ≤ 0 is exact.")
    w("")
    w("| file | records played / in the file | same records in the same order | DUE_US − file time, min .. max |")
    w("|---|---|---|---|")
    for r in results:
        e = r["due_error"]
        err = f"{e[0]:.2f} .. {e[1]:.2f} µs" if e else "n/a"
        w(f"| {r['name']} | {r['played']} / {r['records']} | {'yes' if r['matches_file'] else '**no**'} | {err} |")
    w("")
    w("### Refills")
    w("")
    w("The pass has one buffer of at most 511 records and refills it only after the device has played it, so the "
      "first record of each refilled buffer waits for the wake-up of the pass, the merge and the queueing. The "
      "pass also restarts the stream (time 0) before it fills and queues its first buffer, so its first record "
      "waits for the same. Lateness of those records against the others:")
    w("")
    w("| file | buffers | first record of the pass | first record of a refilled buffer: median / max | "
      "other records: median / p99 / max |")
    w("|---|---|---|---|---|")
    for r in results:
        a, b = r["refill_first"], r["refill_rest"]
        first = f"{fmt_us(a['median'])} / {fmt_us(a['max'])}" if a else "n/a (one buffer)"
        rest = f"{fmt_us(b['median'])} / {fmt_us(b['p99'])} / {fmt_us(b['max'])}" if b else "n/a"
        w(f"| {r['name']} | {r['buffers']} | {fmt_us(r.get('pass_first'))} | {first} | {rest} |")
    w("")

    w("## Drift over a long pass")
    w("")
    if last:
        w(f"The last record of long.mid, due {last['due_s']:.3f} s after the start:")
        w("")
        w("| | smfstream | floor | mido |")
        w("|---|---|---|---|")
        mido_last = long.get("mido_last")
        w(f"| sent after its time in the file | {fmt_us(last['at_vs_file'])} | {fmt_us(long['floor_last'])} | "
          f"{fmt_us(mido_last) if mido_last is not None else 'n/a'} |")
        w(f"| of which the device's DUE_US − file time | {last['due_vs_file']:.2f} µs | | |")
        w("")
        w("Command: the smfstream, floor and mido commands above on long.mid.")
    w("")

    w("## Switch latency and start-up")
    w("")
    w("Timed by bench/stream_driver.cpp on CLOCK_MONOTONIC: the trace goes to a FIFO that the driver reads, and "
      "each line is timestamped when it arrives (the trace device writes each line with one write(2)).")
    w("")
    w("| | n | median | p90 | max | goal |")
    w("|---|---|---|---|---|---|")
    s = switch["first"]
    w(f"| switch: file-name command written → first record of the new file | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | < 2 ms median |")
    s = switch["reset"]
    w(f"| … of which: command → `reset` of the old stream | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | |")
    s = switch["restart"]
    w(f"| … command → `restart` of the new stream | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | |")
    s = startup["first"]
    w(f"| start-up: process spawned → first record | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | < 5 ms |")
    s = startup["floor"]
    w(f"| start-up floor: a bare C program that writes its trace lines at once (bench/first_line.c), started "
      f"in turn with the player | {s['n']} | {fmt_us(s['median'])} | {fmt_us(s['p90'])} | {fmt_us(s['max'])} | |")
    s = startup["floor_static"]
    w(f"| … the same, linked -static (the exec alone) | {s['n']} | {fmt_us(s['median'])} | {fmt_us(s['p90'])} | "
      f"{fmt_us(s['max'])} | |")
    w(f"| start-up median: smfstream ÷ floor; smfstream − floor | | "
      f"{ratio(startup['first']['median'], startup['floor']['median'])}; "
      f"{fmt_us(startup['first']['median'] - startup['floor']['median'])} | | | |")
    s = startup["open"]
    w(f"| … of which: spawned → `open` of the stream | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | |")
    s = startup["restart"]
    w(f"| … spawned → `restart` | {s['n']} | {fmt_us(s['median'])} | "
      f"{fmt_us(s['p90'])} | {fmt_us(s['max'])} | |")
    w("")
    w(f"- switch: `{cmds['switch']}` (switches between dense_piano.mid and long.mid at random moments 0.15–0.35 s "
      "apart; every file's first record is at tick 0)")
    w(f"- start-up and its floors, interleaved: `{cmds['startup']}` (load average before "
      f"{' '.join(f'{v:.2f}' for v in startup['load'][0])}, after {' '.join(f'{v:.2f}' for v in startup['load'][1])})")
    w("")
    w("Where the start-up goes (medians above):")
    w("")
    w("| phase | median |")
    w("|---|---|")
    for phase, value in startup["phases"]:
        w(f"| {phase} | {fmt_us(value)} |")
    w("")

    if seam:
        w("## Loop seam")
        w("")
        w("A pass that ends by itself is followed at once by the next pass over the same file; the seam is the "
          "time from the due time of the pass's closing rest (its no-op record) to the next pass's first record "
          "sent, ideally 0. Timed by bench/stream_driver.cpp on loop.mid (a one-beat note in a two-beat bar, "
          "0.1 s a pass), from the arrival times of the trace's lines; lines read together share one arrival "
          "time, so a part shorter than the driver's wake-up can show as 0 and its time land in the next.")
        w("")
        w("| | n | median | p99 | max | goal |")
        w("|---|---|---|---|---|---|")
        rows = (("seam: closing rest due → next pass's first record sent", "seam", "< 0.5 ms median, < 1 ms p99"),
                ("… of which: the closing rest's own lateness", "late", ""),
                ("… teardown: its `ev` → `close` (the pass wakes, resets, closes the stream)", "teardown", ""),
                ("… load: `close` → `open` (marker, file loaded, next stream opened)", "load", ""),
                ("… open: `open` → `restart` (time division, header prepared)", "open", ""),
                ("… first fill: `restart` → first `ev` (merge, queue, the player's wake-up)", "fill", ""),
                ("first fill on the player's own clock: the first record's AT_US", "first_at", ""))
        for label, key, goal in rows:
            s = seam[key]
            w(f"| {label} | {s['n']} | {fmt_us(s['median'])} | {fmt_us(s['p99'])} | {fmt_us(s['max'])} | {goal} |")
        w("")
        w(f"- seam: `{cmds['seam']}`")
        w("")

    w("## CPU and memory")
    w("")
    w("CPU = (user + system time of the process, from wait4) ÷ wall time from spawn to exit; peak memory = "
      "/usr/bin/time -v's maximum resident set size; anon = the largest RssAnon sampled from /proc every 0.25 s "
      "(the process's own heap and stacks, without the shared libraries' pages).")
    w("")
    w("| run | wall | CPU | CPU % of a core | peak RSS | peak anon | goal |")
    w("|---|---|---|---|---|---|---|")
    for r in results:
        for key, label in (("player_run", "smfstream, trace"), ("floor_run", "floor"),
                           ("plain_run", "floor, ordinary process"), ("mido_run", "mido")):
            run = r.get(key)
            if not run:
                continue
            goal = ""
            if key == "player_run":
                limit = (GOAL_MEMORY_BASE + r["size"]) // 1024
                goal = f"< 1%, < {limit} kB"
            w(f"| {r['name']}: {label} | {run['wall_s']:.1f} s | {run['cpu_s'] * 1000:.0f} ms | "
              f"{100 * run['cpu_s'] / run['wall_s']:.3f}% | {run['peak_kb']} kB | "
              f"{run['sampled'].get('RssAnon', 0)} kB | {goal} |")
    if synth_run.get("pending"):
        w(f"| dense_piano: smfstream, synth | pending: the synthesizer device is not in this build "
          f"({synth_run['why']}) | | | | | |")
    else:
        run = synth_run
        w(f"| dense_piano: smfstream, synth:FILE.wav | {run['wall_s']:.1f} s | {run['cpu_s'] * 1000:.0f} ms | "
          f"{100 * run['cpu_s'] / run['wall_s']:.2f}% | {run['peak_kb']} kB | "
          f"{run['sampled'].get('RssAnon', 0)} kB | (reported beside) |")
    w("")
    w("Commands: the smfstream, floor and mido commands above" +
      (f"; synth: `{cmds['synth']}`." if "synth" in cmds else "."))
    w("")

    w("## The synthesizer's timing and release")
    w("")
    if timing:
        w("music/demo.mid rendered by FluidSynth's own player offline (`fluidsynth -F`) and by smfstream's "
          "synthesizer live through FluidSynth's `file` audio driver (real time, period by period) and into a WAV "
          "file; each lone note's onset offset found by correlating its first 25 ms, jitter = offset − median "
          "offset. Latency: as the device states it when it opens. Then a held chord is switched away from.")
        w("")
        for line in synth_timing.table(timing):
            w(line)
        w("")
        w(f"Command: `{cmds.get('timing', 'python3 bench/synth_timing.py')}`")
    else:
        w("Not measured in this run (`bench/run --only timing`).")
    w("")
    w("## The synthesizer's onsets against the exact time")
    w("")
    onsets = extra.get("onsets") if extra else None
    if onsets:
        w("A file of ours (one woodblock, 80 identical notes at off-grid ticks 170–420 ticks apart, 480 a quarter, "
          "a tempo change every five notes) rendered dry by FluidSynth's own player offline, by smfstream into a "
          "WAV file and live through FluidSynth's `file` audio driver; each with the machine as it was and with two "
          "busy loops per core. Each note's onset is found to the sample by matching the first note's waveform; "
          "error = onset − exact time (from the file alone) − the median of that. The physical limit, each note in "
          "the 64-frame block nearest its exact time, is 0.73 ms.")
        w("")
        for line in synth_onsets.table(onsets):
            w(line)
        w("")
        w(f"Command: `{cmds.get('onsets', 'python3 bench/synth_onsets.py')}`")
    else:
        w("Not measured in this run (`bench/run --only onsets`).")
    w("")
    w("## Merge throughput")
    w("")
    w("fill_events alone (Google Benchmark, bench/merge_throughput.cpp): 32768 records in all, spread over the "
      "tracks (65535 tracks: one note each, 131070 records), merged buffer by buffer from fresh cursors. A fill "
      "of 511 records is what the device waits for at each refill.")
    w("")
    w("| tracks | records/s | one fill (511 records) | cost per record ÷ 1 track |")
    w("|---|---|---|---|")
    base = merge_rows[0]["records_per_s"] if merge_rows else None
    for m in merge_rows:
        w(f"| {m['tracks']} | {m['records_per_s'] / 1e6:.2f} M | {fmt_us(m['s_per_fill'] * 1e6)} | "
          f"{ratio(base, m['records_per_s'])} |")
    w("")
    w(f"Command: `{cmds['merge']}`")
    w("")
    w("## Plot")
    w("")
    w(f"[{plot_name}]({plot_name}): gnuplot script written to {rel(gp)} by the run.")
    w("")
    if notes:
        w(notes.rstrip())
        w("")
    return "\n".join(md)


# ---------------------------------------------------------------- main

def main():
    global work_dir, smfstream, floor_loop, stream_driver, merge_throughput, gen_files, first_line, first_line_static
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="short files and few repeats (about two minutes)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--out", help="where BENCHMARKS.md and the plot go (the repository root for a full run, "
                                      "bench/results/quick for a quick one)")
    parser.add_argument("--command", default="bench/run")
    parser.add_argument("--only", help="run only these parts (comma-separated: accuracy, latency, synth, timing, onsets, "
                                       "merge), "
                                       "taking the others from the last run's results.json; --only report "
                                       "rewrites BENCHMARKS.md from it")
    args = parser.parse_args()
    args.short_seconds = 4 if args.quick else 15
    args.long_seconds = 20 if args.quick else 300
    out_dir = args.out or (os.path.join(ROOT, "bench", "results", "quick") if args.quick else ROOT)
    work_dir = os.path.join(ROOT, "bench", "results", "quick" if args.quick else "full")
    files_dir = os.path.join(work_dir, "files")
    os.makedirs(files_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)

    smfstream = os.path.join(args.build, "src", "smfstream")
    floor_loop = os.path.join(args.build, "bench", "floor_loop")
    stream_driver = os.path.join(args.build, "bench", "stream_driver")
    merge_throughput = os.path.join(args.build, "bench", "merge_throughput")
    gen_files = os.path.join(args.build, "bench", "gen_bench_files")
    first_line = os.path.join(args.build, "bench", "first_line")
    first_line_static = os.path.join(args.build, "bench", "first_line_static")

    # Every part's figures are kept in results.json, so that a part can be run
    # again alone (--only) and the report rewritten from the rest.
    saved_path = os.path.join(work_dir, "results.json")
    saved = {}
    if args.only and os.path.exists(saved_path):
        with open(saved_path) as f:
            saved = json.load(f)
    parts = set(args.only.split(",")) if args.only else {"accuracy", "latency", "synth", "timing", "onsets", "merge"}
    cmds = saved.get("cmds", {})

    if "accuracy" in parts or "host" not in saved:
        saved["started"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
        saved["host"] = machine()
    subprocess.run([gen_files, files_dir, str(args.short_seconds), str(args.long_seconds)], check=True)
    if "accuracy" in parts:
        results = []
        for name, _ in FILES:
            log(f"{name}")
            file_cmds = {}
            results.append(accuracy(name, os.path.join(files_dir, f"{name}.mid"), file_cmds))
            cmds.update({k: v.replace(name, "FILE") for k, v in file_cmds.items()})
        saved["results"] = results
        saved["command"] = args.command
    if "latency" in parts:
        log("latency")
        saved["startup"], saved["switch"] = startup_and_switch(files_dir, 15 if args.quick else 51,
                                                               10 if args.quick else 60, cmds)
        saved["seam"] = loop_seam(files_dir, 50 if args.quick else 1000, cmds)
    if "synth" in parts:
        saved["synth"] = synth(os.path.join(files_dir, "dense_piano.mid"), cmds)
    if "timing" in parts:
        log("synth timing")
        periods = [4096] if args.quick else [64, 1024, 4096]
        saved["timing"] = synth_timing.measure(smfstream, os.path.join(ROOT, "music", "demo.mid"), periods, log)
        cmds["timing"] = (f"python3 bench/synth_timing.py --program {rel(smfstream)} --periods "
                          + ",".join(str(p) for p in periods))
    if "onsets" in parts:
        log("synth onsets")
        periods = [4096] if args.quick else [64, 1024, 4096]
        saved["onsets"] = synth_onsets.measure(smfstream, periods, True, log)
        cmds["onsets"] = (f"python3 bench/synth_onsets.py --program {rel(smfstream)} --periods "
                          + ",".join(str(p) for p in periods))
    if "merge" in parts:
        saved["merge"] = merge(args.quick, cmds)
    stamp = {"at": f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC", "commit": git_commit(),
             "load": machine()["load"]}
    known = {"accuracy", "latency", "synth", "timing", "onsets", "merge"}
    saved.setdefault("parts", {}).update({part: stamp for part in parts & known})
    saved["cmds"] = cmds
    if parts & known:
        saved["host_end_load"] = machine()["load"]
    with open(saved_path, "w") as f:
        json.dump(saved, f)

    started = datetime.datetime.fromisoformat(saved["started"])
    host = dict(saved["host"], end_load=saved["host_end_load"])
    results, startup, switch = saved["results"], saved["startup"], saved["switch"]
    synth_run, merge_rows = saved["synth"], saved["merge"]
    plot_name = "bench-lateness.png"
    gp = plot(results, startup, switch, os.path.join(out_dir, plot_name))
    notes_path = os.path.join(ROOT, "bench", "findings.md")
    notes = open(notes_path).read() if os.path.exists(notes_path) and not args.quick else ""
    text = report(args, started, host, results, startup, switch, synth_run, merge_rows, cmds, plot_name, gp, notes,
                  saved.get("parts", {}), saved.get("command", args.command), saved.get("timing"), saved.get("seam"),
                  {"onsets": saved.get("onsets")})
    with open(os.path.join(out_dir, "BENCHMARKS.md"), "w") as f:
        f.write(text)
    log(f"wrote {os.path.join(out_dir, 'BENCHMARKS.md')} and {plot_name}")


if __name__ == "__main__":
    main()
