"""The Python controller module (python/smfstream) driving the real player on
the trace device: the same cases as controller_test.cpp, through Python.
Run by ctest with SMFSTREAM_BINARY naming the player and PYTHONPATH the module."""
import os
import signal
import tempfile
import time
import unittest

import smfstream
from songs import short_song

PLAYER = os.environ["SMFSTREAM_BINARY"]


class PlayerCase(unittest.TestCase):
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


if __name__ == "__main__":
    unittest.main()
