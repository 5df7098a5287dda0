"""smfstream: a controller for the smfstream player, for Python programs.

It starts the player with a volume and a file, writes the control protocol for
it (volume and file-name commands), counts the end-of-pass markers the player
writes on its standard output, drains its standard error, and stops it by
ending its input:

    import smfstream
    with smfstream.Player(200, "a.mid") as player:
        player.wait_for_pass(timeout=60)   # the first pass has ended
        player.set_volume(100)
        player.play("b.mid")               # switches at once
    # leaving the block stops the player: player.returncode is 0

A name the protocol cannot carry is refused before anything is written
(UnsendableName): an empty name, one whose length's low byte is 0x80 to 0xFF
or 0x00 (128 or 256 bytes, say: the player would read its first byte as a
volume), one longer than 32639 bytes, and one with a zero byte in it. A player
that has died raises PlayerEnded; nothing waits on it for ever.

Licence: MIT (the smfstream developers).
"""
import os
import subprocess
import threading
import time

__all__ = ["Player", "SmfstreamError", "UnsendableName", "PlayerEnded", "Timeout", "MAX_NAME_LENGTH",
           "check_name", "name_command", "volume_command"]

# The longest name the protocol carries: length bytes 0x7F, 0x7F.
MAX_NAME_LENGTH = 0x7F + 256 * 0x7F
# How much of the player's standard error is kept (Player.diagnostics).
KEPT_DIAGNOSTICS = 64 * 1024


class SmfstreamError(Exception):
    """Anything that went wrong with the player."""


class UnsendableName(SmfstreamError, ValueError):
    """A name the protocol cannot carry; nothing was written."""


class PlayerEnded(SmfstreamError):
    """The player has ended (killed, crashed, or stopped). returncode: its
    status, negative for a signal, as subprocess gives it."""

    def __init__(self, message, returncode=None):
        super().__init__(message)
        self.returncode = returncode


class Timeout(SmfstreamError, TimeoutError):
    """No pass ended, or the player did not exit, in time. For stop(),
    returncode holds the status of the killed player."""

    def __init__(self, message, returncode=None):
        super().__init__(message)
        self.returncode = returncode


def check_name(name):
    """Why the protocol cannot carry name (a str, bytes or path), or None if it
    can."""
    data = os.fsencode(name)
    if not data:
        return "cannot send an empty name"
    if len(data) > MAX_NAME_LENGTH:
        return f"cannot send a name of {len(data)} bytes: the protocol carries at most {MAX_NAME_LENGTH} bytes"
    low = len(data) & 0xFF
    if low == 0 or low >= 0x80:
        return (f"cannot send a name of {len(data)} bytes: its length's low byte 0x{low:02X} would read as a "
                "volume command (it must be 0x01 to 0x7F)")
    if b"\0" in data:
        return "cannot send a name with a zero byte in it"
    return None


def name_command(name):
    """The bytes of a file-name command; raises UnsendableName."""
    why = check_name(name)
    if why:
        raise UnsendableName(why)
    data = os.fsencode(name)
    return bytes([len(data) & 0xFF, len(data) >> 8]) + data


def volume_command(volume):
    """The bytes of a volume command (0 to 255); raises ValueError."""
    if not isinstance(volume, int) or not 0 <= volume <= 255:
        raise ValueError(f"the volume is 0 to 255, not {volume!r}")
    return bytes([0x00, volume])


def _describe(returncode):
    if returncode is None:
        return "still running"
    if returncode < 0:
        return f"killed by signal {-returncode}"
    return f"exit status {returncode}"


class Player:
    """One player process, started at once: `program VOLUME PATH`.

    program: the smfstream program (a path, or a name looked up on the PATH).
    env: variables set for the player on top of this process's environment,
    e.g. {"SMFSTREAM_DEVICE": "synth:out.wav"}.
    stderr: "keep" (read by a thread, the last 64 KiB in .diagnostics),
    "inherit" (this process's standard error) or "discard".
    new_session: start the player in a session of its own, so that a Ctrl-C
    in the terminal reaches only this controller (POSIX).
    Raises SmfstreamError when it cannot be started."""

    def __init__(self, volume, path, *, program="smfstream", env=None, stderr="keep", new_session=False):
        volume_command(volume)  # checks it
        if stderr not in ("keep", "inherit", "discard"):
            raise ValueError(f"stderr is 'keep', 'inherit' or 'discard', not {stderr!r}")
        environment = None
        if env:
            environment = dict(os.environ)
            environment.update(env)
        self._changed = threading.Condition()
        self._write_lock = threading.Lock()
        self._passes = 0
        self._ended = False
        self._input_closed = False
        self._diagnostics = bytearray()
        err = {"keep": subprocess.PIPE, "inherit": None, "discard": subprocess.DEVNULL}[stderr]
        try:
            self._process = subprocess.Popen([os.fspath(program), str(volume), os.fspath(path)],
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                             env=environment, start_new_session=new_session)
        except OSError as error:
            raise SmfstreamError(f"cannot start {program}: {error.strerror or error}") from error
        self._readers = [threading.Thread(target=self._read_markers, daemon=True)]
        if stderr == "keep":
            self._readers.append(threading.Thread(target=self._read_diagnostics, daemon=True))
        for reader in self._readers:
            reader.start()

    # What the player writes.
    def _read_markers(self):
        stream = self._process.stdout
        while True:
            data = stream.read1(256)
            if not data:
                break
            with self._changed:
                self._passes += data.count(b"1")
                self._changed.notify_all()
        self._process.wait()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def _read_diagnostics(self):
        stream = self._process.stderr
        while True:
            data = stream.read1(4096)
            if not data:
                break
            with self._changed:
                self._diagnostics += data
                if len(self._diagnostics) > 2 * KEPT_DIAGNOSTICS:
                    del self._diagnostics[:-KEPT_DIAGNOSTICS]

    def _ended_error(self):
        message = f"the player has ended ({_describe(self._process.returncode)})"
        last = self.diagnostics.rstrip("\r\n").rsplit("\n", 1)[-1]
        if last:
            message += f"; its last message: {last}"
        return PlayerEnded(message, self._process.returncode)

    def _send(self, data):
        with self._write_lock:
            with self._changed:
                if self._input_closed:
                    raise SmfstreamError("the player is not running: it has been stopped")
                if self._ended:
                    raise self._ended_error()
            try:
                self._process.stdin.write(data)
                self._process.stdin.flush()
            except (BrokenPipeError, OSError):
                # Give the reader of its output a moment to see how it ended.
                with self._changed:
                    self._changed.wait_for(lambda: self._ended, timeout=0.5)
                raise self._ended_error() from None

    def set_volume(self, volume):
        """Sends a volume command (0 to 255)."""
        self._send(volume_command(volume))

    def play(self, path):
        """Sends a file name: the running pass ends at once and path plays.
        Raises UnsendableName, before writing anything, for a name the
        protocol cannot carry."""
        self._send(name_command(path))

    @property
    def passes(self):
        """The end-of-pass markers the player has written so far."""
        with self._changed:
            return self._passes

    def wait_for_passes(self, count, timeout):
        """Waits until the player has ended count passes in all; returns the
        count reached. Raises Timeout, or PlayerEnded if it ended first."""
        with self._changed:
            self._changed.wait_for(lambda: self._passes >= count or self._ended, timeout=timeout)
            if self._passes >= count:
                return self._passes
            if not self._ended:
                raise Timeout(f"no end of pass {count} within {timeout} s ({self._passes} so far)")
        raise self._ended_error()

    def wait_for_pass(self, timeout):
        """Waits for the next end of a pass after this call."""
        return self.wait_for_passes(self.passes + 1, timeout)

    def stop(self, timeout=5.0):
        """Ends the player the proper way: closes its input, so that it stops
        with no note left sounding and exits with status 0, and waits for the
        exit; returns its status. After the time-out it is killed and Timeout
        is raised, with the status. Calling it again returns the same status."""
        deadline = time.monotonic() + timeout
        killed = False
        # A command still being written to a player that no longer reads holds
        # its input: past the time-out the player is killed, which ends that write.
        if not self._write_lock.acquire(timeout=max(timeout, 0)):
            self._process.kill()
            killed = True
            self._write_lock.acquire()
        try:
            with self._changed:
                self._input_closed = True
            try:
                self._process.stdin.close()
            except (BrokenPipeError, OSError):
                pass
        finally:
            self._write_lock.release()
        try:
            self._process.wait(max(deadline - time.monotonic(), 0))
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            killed = True
        for reader in self._readers:
            reader.join()
        for stream in (self._process.stdout, self._process.stderr):
            if stream:
                stream.close()
        if killed:
            raise Timeout(f"the player did not exit within {timeout} s of the end of its input and was killed",
                          self._process.returncode)
        return self._process.returncode

    @property
    def running(self):
        """Whether the player has not ended."""
        with self._changed:
            return not self._ended

    @property
    def returncode(self):
        """Its exit status once it has ended (negative for a signal), else None."""
        return self._process.returncode if not self.running else None

    @property
    def diagnostics(self):
        """The player's standard error (its last 64 KiB), with stderr="keep"."""
        with self._changed:
            return self._diagnostics.decode(errors="replace")

    @property
    def pid(self):
        return self._process.pid

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False
