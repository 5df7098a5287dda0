"""The Python controller module (python/smfstream) driving the real player on
the trace device: the same cases as controller_test.cpp, through Python, and
the scenarios of scenarios.txt, which the C++ tests run too; that
its protocol limits are the ones include/smfstream/protocol.hpp defines; and
the command line tools/smfstream-play's failures.
Run by ctest with SMFSTREAM_BINARY naming the player and PYTHONPATH the module."""
import math
import os
import re
import resource
import signal
import stat
import subprocess
import tempfile
import threading
import time
import unittest

import smfstream
from songs import short_song

PLAYER = os.environ["SMFSTREAM_BINARY"]
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


class FilesCase(unittest.TestCase):
    """A temporary folder with two songs and the trace's path."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.trace = os.path.join(self.dir.name, "trace")
        self.a = self.write("a.mid", short_song(60))
        self.b = self.write("b.mid", short_song(72))

    def write(self, name, data):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as file:
            file.write(data)
        return path


class PlayerCase(FilesCase):
    def start(self, volume=200):
        player = smfstream.Player(volume, self.a, program=PLAYER, env={"SMFSTREAM_DEVICE": "trace:" + self.trace})
        self.addCleanup(lambda: player.running and player.stop())
        return player

    def trace_lines(self):
        try:
            with open(self.trace) as file:
                return file.read().splitlines()
        except FileNotFoundError:  # not opened yet
            return []

    def test_volume_reaches_the_device_and_stop_ends_with_status_zero(self):
        player = self.start()
        player.set_volume(100)
        deadline = time.monotonic() + 10
        while "volume 00006464" not in self.trace_lines() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertIn("volume 00006464", self.trace_lines())
        with self.assertRaises(ValueError):
            player.set_volume(256)
        self.assertEqual(player.stop(), 0, player.diagnostics[-3000:])
        with self.assertRaises(smfstream.SmfstreamError):
            player.set_volume(1)

    def test_a_switch_counts_the_cut_pass_and_plays_the_new_file(self):
        player = self.start()
        player.wait_for_passes(3, timeout=10)
        before = player.passes
        player.play(self.b)
        player.wait_for_passes(before + 2, timeout=10)
        self.assertIn("New filename received: " + self.b, player.diagnostics)
        self.assertEqual(player.stop(), 0, player.diagnostics[-3000:])
        note_ons = [line for line in self.trace_lines() if line.startswith("ev ") and line.endswith("644890")]
        self.assertTrue(note_ons, "b.mid's note never played")

    def test_names_the_protocol_cannot_carry_are_refused_before_anything_is_written(self):
        rows = [("", False), ("n" * 127, True), ("n" * 128, False), ("n" * 255, False), ("n" * 256, False),
                ("n" * 257, True), ("n" * smfstream.MAX_NAME_LENGTH, True),
                ("n" * (smfstream.MAX_NAME_LENGTH + 1), False), ("a\0b.mid", False)]
        player = self.start()
        for name, sendable in rows:
            with self.subTest(length=len(name)):
                self.assertEqual(smfstream.check_name(name) is None, sendable)
                if not sendable:
                    with self.assertRaises(smfstream.UnsendableName):
                        player.play(name)
        player.set_volume(7)
        self.assertEqual(player.stop(), 0, player.diagnostics[-3000:])
        err = player.diagnostics
        self.assertTrue(err[err.index("got "):].startswith("got 0 7\n"), err)

    def test_a_killed_player_is_reported_not_waited_on(self):
        player = self.start()
        player.wait_for_pass(timeout=10)
        os.kill(player.pid, signal.SIGKILL)
        started = time.monotonic()
        with self.assertRaises(smfstream.PlayerEnded) as ended:
            player.wait_for_passes(10**9, timeout=60)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(ended.exception.returncode, -signal.SIGKILL)
        with self.assertRaises(smfstream.PlayerEnded):
            player.set_volume(1)
        with self.assertRaises(smfstream.PlayerEnded):
            player.play(self.b)
        self.assertEqual(player.stop(), -signal.SIGKILL)

    def test_a_player_that_cannot_start_is_reported(self):
        with self.assertRaises(smfstream.SmfstreamError) as failed:
            smfstream.Player(200, self.a, program="/nonexistent/smfstream")
        self.assertIn("/nonexistent/smfstream", str(failed.exception))

    def test_the_standard_error_nobody_reads_never_stalls_the_player(self):
        player = self.start()
        for i in range(3000):
            player.set_volume(i % 256)
        player.wait_for_pass(timeout=20)
        self.assertEqual(player.stop(timeout=10), 0, player.diagnostics[-3000:])

    def test_a_zero_byte_at_the_start_is_refused(self):
        with self.assertRaises(smfstream.UnsendableName):
            smfstream.Player(200, self.a + "\0.mid", program=PLAYER)

    def test_the_shared_scenarios_hold(self):
        """The scenarios of scenarios.txt, which the C++ tests run too."""
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios.txt")) as file:
            rows = [line.rstrip("\n").split(" | ") for line in file if line.strip() and not line.startswith("#")]
        self.assertGreaterEqual(len(rows), 11)
        for name, steps in rows:
            with self.subTest(name):
                previous = signal.getsignal(signal.SIGCHLD)
                try:
                    state = {}
                    for step in steps.split():
                        with self.subTest(step=step):
                            self.run_step(step, state)
                finally:
                    signal.signal(signal.SIGCHLD, previous)

    def run_step(self, step, state):
        """One step of a scenario (scenarios.txt says what each does)."""
        player = state.get("player")
        if step.startswith("start"):
            kind = step[6:]
            program = {"": PLAYER, "deaf": "exec sleep 60",
                       "wrapper": f"sleep 60 & echo $! > {self.dir.name}/child; wait",
                       "slow-exit": f"'{PLAYER}' \"$@\"; sleep 1"}[kind]
            if kind:
                program = self.write("program", f"#!/bin/sh\n{program}\n".encode())
                os.chmod(program, 0o755)
            state["player"] = player = smfstream.Player(200, self.a, program=program,
                                                        env={"SMFSTREAM_DEVICE": "trace:" + self.trace})
            self.addCleanup(lambda: player.running and player.stop())
            while kind == "wrapper" and not read(os.path.join(self.dir.name, "child")):
                time.sleep(0.01)
        elif step == "pass":
            player.wait_for_pass(timeout=10)
        elif step == "passes-go-on":
            player.wait_for_passes(player.passes + 2, timeout=10)
        elif step == "same-job":
            self.assertEqual(os.getpgid(player.pid), os.getpgrp())
        elif step == "fork":
            forked = time.monotonic()
            child = os.fork()
            if child == 0:
                with player:
                    pass
                os._exit(0)
            while os.waitpid(child, os.WNOHANG) == (0, 0) and time.monotonic() - forked < 3:
                time.sleep(0.005)
            if time.monotonic() - forked >= 3:
                os.kill(child, signal.SIGKILL)
                os.waitpid(child, 0)
                self.fail("the forked child did not exit within 3 s")
        elif step == "child-ended":
            self.assertTrue(ended_soon(int(read(os.path.join(self.dir.name, "child")))), "the wrapper's child still runs")
        elif step == "sigchld-ignored":
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        elif step == "interrupted-stop":
            previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.2)
                with self.assertRaises(KeyboardInterrupt):
                    player.stop(timeout=5)
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
                signal.signal(signal.SIGALRM, previous)
        elif step.startswith("stop"):
            times, outcome = step.split("=", 1)[1].split("->")
            special = {"ever": math.inf, "huge": 1e12, "nan": math.nan}
            seconds = [special[t] if t in special else int(t) / 1000 for t in times.split(",")]
            outcomes = [None] * len(seconds)

            def stop(i):
                try:
                    outcomes[i] = ("returned", player.stop(timeout=seconds[i]))
                except smfstream.Timeout as error:
                    outcomes[i] = ("Timeout", error.returncode)
                except (ValueError, smfstream.StatusUnknown) as error:
                    outcomes[i] = (type(error).__name__, None)

            others = [threading.Thread(target=stop, args=(i,)) for i in range(1, len(seconds))]
            for other in others:
                other.start()
            if others:
                time.sleep(0.1)  # the other stop() is waiting by now
            stop(0)
            for other in others:
                other.join()
            expected = {"0": ("returned", 0), "killed": ("Timeout", -signal.SIGKILL), "refused": ("ValueError", None),
                        "unknown": ("StatusUnknown", None)}[outcome]
            self.assertEqual(outcomes, [expected] * len(seconds))
        else:
            self.fail("no such step")

    def test_the_limits_are_those_of_the_protocol_header(self):
        with open(os.path.join(SOURCE, "include", "smfstream", "protocol.hpp")) as file:
            header = dict(re.findall(r"constexpr unsigned(?: char)? (\w+) = (0x[0-9A-Fa-f]+);", file.read()))
        self.assertEqual(len(header), 4, header)
        for name, value in header.items():
            self.assertEqual(getattr(smfstream, name.upper()), int(value, 16), name)
        self.assertEqual(smfstream.MAX_NAME_LENGTH, 32639)


def read(path):
    try:
        with open(path) as file:
            return file.read()
    except FileNotFoundError:
        return ""


def ended_soon(pid):
    """Whether the process has gone (or is a zombie, whose parent is gone too)."""
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as file:
                if file.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.01)
    return False


class PlayToolCase(FilesCase):
    def play(self, *arguments, env=None, **run):
        return subprocess.run([os.path.join(SOURCE, "tools", "smfstream-play"), "--quiet", "--player", PLAYER]
                              + list(arguments), env=env, capture_output=True, text=True, timeout=60, **run)

    def test_wav_never_replaces_what_is_not_a_plain_file_nor_a_file_with_less_than_a_rendering(self):
        """A symbolic link is followed; a FIFO gets the file written into it;
        a plain file is kept when the rendering is cut short."""
        kept = self.write("kept.wav", b"old")
        link = os.path.join(self.dir.name, "link.wav")
        os.symlink(kept, link)
        fifo = os.path.join(self.dir.name, "fifo")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()), daemon=True)
        reader.start()
        for out in (link, fifo):
            with self.subTest(out=out):
                run = self.play("--wav", out, "200", self.a)
                self.assertEqual(run.returncode, 0, run.stderr)
        reader.join(timeout=60)
        self.assertTrue(os.path.islink(link) and stat.S_ISFIFO(os.stat(fifo).st_mode))
        with open(kept, "rb") as file:
            self.assertEqual(file.read(4), b"RIFF")
        self.assertEqual(got[0][:4], b"RIFF")
        # A file-size limit cuts the rendering short: the old file stays.
        with open(kept, "wb") as file:
            file.write(b"old")
        run = self.play("--wav", link, "200", self.a,
                        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (512, resource.RLIM_INFINITY)))
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("File too large", run.stderr)
        with open(kept, "rb") as file:
            self.assertEqual(file.read(), b"old")
        self.assertEqual(sorted(os.listdir(self.dir.name)), sorted(["a.mid", "b.mid", "kept.wav", "link.wav", "fifo"]))

    def test_a_failure_is_never_reported_as_success(self):
        """(arguments, exit status, what it must say); the tool run through a
        symbolic link, as a user links it into ~/bin."""
        tool = os.path.join(self.dir.name, "bin", "smfstream-play")
        os.mkdir(os.path.dirname(tool))
        os.symlink(os.path.join(SOURCE, "tools", "smfstream-play"), tool)
        dies = self.write("dies", b"#!/bin/sh\nkill -9 $$\n")
        os.chmod(dies, 0o755)
        wav = os.path.join(self.dir.name, "out.wav")
        # The tool finds its module from where it really is.
        without_module_path = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        without_module_path["SMFSTREAM_DEVICE"] = "trace:" + self.trace
        empty = self.write("empty.mid", short_song(60)[:18] + bytes([0, 0, 0, 4, 0x00, 0xFF, 0x2F, 0x00]))
        rows = [([self.a], 0, ""),
                ([empty], 1, "nothing to play in " + empty),
                (["--wav", os.path.join(self.dir.name, "no", "out.wav"), self.a], 1, "cannot write"),
                ([os.path.join(self.dir.name, "missing.mid")], 1, "could not open"),
                (["/etc/passwd"], 1, "not a Standard MIDI File: /etc/passwd"),
                (["--wav", wav, "/etc/passwd"], 1, "not a Standard MIDI File"),
                (["--player", dies, self.a], 128 + signal.SIGKILL, "killed by signal 9")]
        for arguments, status, said in rows:
            with self.subTest(arguments=arguments):
                *options, midi = arguments
                run = subprocess.run([tool, "--quiet", "--player", PLAYER] + options + ["200", midi],
                                     env=without_module_path, capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(said, run.stderr)
                self.assertNotIn("rendered into", run.stderr)


if __name__ == "__main__":
    unittest.main()
