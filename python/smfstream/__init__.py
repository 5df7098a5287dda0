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

A name the protocol cannot carry is refused before anything is written, by
Player() and play() alike (UnsendableName): an empty name, one whose length's low byte is 0x80 to 0xFF
or 0x00 (128 or 256 bytes, say: the player would read its first byte as a
volume), one longer than 32639 bytes, and one with a zero byte in it. A player
that has died raises PlayerEnded; nothing waits on it for ever.

Every call may come from any thread. stop(timeout) returns within the timeout
plus STOP_GRACE whatever the player does: when the time is up it kills the
player and what the player started (Linux: the processes below it), so that a
wrapper script around the player cannot keep it, or stop(), waiting. The
player stays in the program's process group (its job): Ctrl-Z in a terminal
stops the music with the program. In a child forked after the start, the
Player does nothing to the parent's player. The rules of start, stop, kill and
reaping, which the C++ library follows too: docs/controller-rules.md.

Licence: MIT (the smfstream developers).
"""
import math
import os
import signal
import subprocess
import threading
import time
import weakref

__version__ = "0.1.0"
__all__ = ["Player", "SmfstreamError", "UnsendableName", "PlayerEnded", "Timeout", "StatusUnknown",
           "MAX_NAME_LENGTH", "STOP_GRACE", "check_name", "name_command", "volume_command"]

# The protocol's limits, as include/smfstream/protocol.hpp defines them for
# the player and the C++ library (the tests check that the two agree).
VOLUME_COMMAND = 0x00
FIRST_NAME_LOW_BYTE = 0x01
LAST_NAME_LOW_BYTE = 0x7F
LAST_NAME_HIGH_BYTE = 0x7F
# The longest name the protocol carries: length bytes 0x7F, 0x7F.
MAX_NAME_LENGTH = LAST_NAME_LOW_BYTE + 256 * LAST_NAME_HIGH_BYTE
# How long stop() may take beyond its timeout: for the killed player and the
# processes below it to go, and its pipes to close.
STOP_GRACE = 1.0
# How long the end of the player's output may lag behind its exit before it
# counts as ended regardless.
OUTPUT_LAG = 0.2
# How much of the player's standard error is kept (Player.diagnostics).
KEPT_DIAGNOSTICS = 64 * 1024
# The longest single wait: a longer timeout waits in steps of this.
_WAIT_STEP = 86400.0


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


class StatusUnknown(SmfstreamError):
    """The player has ended, but how could not be learnt: this program ignores
    SIGCHLD (the system then reaps its children itself), or another part of
    it reaped the player."""


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
    if not FIRST_NAME_LOW_BYTE <= low <= LAST_NAME_LOW_BYTE:
        return (f"cannot send a name of {len(data)} bytes: its length's low byte 0x{low:02X} would read as a "
                f"volume command (it must be 0x{FIRST_NAME_LOW_BYTE:02X} to 0x{LAST_NAME_LOW_BYTE:02X})")
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
    return bytes([VOLUME_COMMAND, volume])


def _seconds(timeout):
    """A timeout in seconds as a float: None and inf wait for ever; raises
    ValueError for nan, a negative or what is no number."""
    if timeout is None:
        return math.inf
    if isinstance(timeout, bool):
        raise ValueError(f"a timeout is a number of seconds, not {timeout!r}")
    try:
        seconds = float(timeout)
    except (TypeError, ValueError):
        raise ValueError(f"a timeout is a number of seconds, not {timeout!r}") from None
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"a timeout is 0 or more seconds (or None, for ever), not {timeout!r}")
    return seconds


def _wait(condition, predicate, deadline):
    """Waits on condition (held) until predicate() or the deadline (a
    time.monotonic() value, inf for ever), in steps any lock takes."""
    while not predicate():
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        condition.wait(min(left, _WAIT_STEP))
    return True


def _acquire(lock, deadline):
    """Takes lock by the deadline (inf: for ever); a KeyboardInterrupt on the
    way leaves it free."""
    taken = False
    try:
        while not taken:
            left = deadline - time.monotonic()
            if left <= 0:
                return lock.acquire(blocking=False)
            taken = lock.acquire(timeout=min(left, _WAIT_STEP))
        return True
    except BaseException:
        if taken:
            lock.release()
        raise


# Processes, POSIX: a pidfd names one process for good (Linux 5.3 and later),
# so that a signal sent through it reaches that process or none.
def _pidfd_open(pid):
    try:
        return os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None


def _signal(pidfd, pid, number):
    try:
        if pidfd is not None:
            signal.pidfd_send_signal(pidfd, number)
        else:
            os.kill(pid, number)
    except OSError:
        pass  # it has gone


def _parent_of(pid):
    """Its parent (Linux, from /proc), or 0 when it has gone or is a zombie."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            state, parent = file.read().rsplit(b")", 1)[1].split()[:2]
    except (OSError, ValueError, IndexError):
        return 0
    return 0 if state == b"Z" else int(parent)


def _end_tree(pid, pidfd):
    """Kills process pid, our unreaped child, and every process below it:
    each is stopped first, top down, so that none starts another unseen,
    and then all are killed. A descendant is signalled only through a pidfd
    opened before its parent was checked (or, with no pidfds, just after)."""
    _signal(pidfd, pid, signal.SIGSTOP)
    below = {}  # pid: pidfd or None
    more = True
    while more:
        more = False
        try:
            names = [int(name) for name in os.listdir("/proc") if name.isdigit()]
        except OSError:
            break
        for child in names:
            if child in below:
                continue
            parent = _parent_of(child)
            if parent != pid and parent not in below:
                continue
            child_fd = _pidfd_open(child)
            if _parent_of(child) != parent:
                if child_fd is not None:
                    os.close(child_fd)
                continue
            _signal(child_fd, child, signal.SIGSTOP)
            below[child] = child_fd
            more = True
    for child, child_fd in below.items():
        _signal(child_fd, child, signal.SIGKILL)
        if child_fd is not None:
            os.close(child_fd)
    _signal(pidfd, pid, signal.SIGKILL)


# The players of this process, whose pipes a forked child lets go of at once;
# a fork waits while a player is being started, so that the child finds the
# pipes made for it among them.
_players = weakref.WeakSet()
_starting = threading.Lock()


def _forked():
    _starting.release()
    for player in list(_players):
        player._release_copies()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_starting.acquire, after_in_parent=_starting.release, after_in_child=_forked)


def _describe(returncode, known=True):
    if not known:
        return "exit status unknown"
    if returncode is None:
        return "still running"
    if returncode < 0:
        return f"killed by signal {-returncode}"
    return f"exit status {returncode}"


class Player:
    """One player process, started at once: `program VOLUME PATH`.

    path is checked as play() checks a name (UnsendableName).
    program: the smfstream program (a path, or a name looked up on the PATH).
    env: variables set for the player on top of this process's environment,
    e.g. {"SMFSTREAM_DEVICE": "synth:out.wav"}.
    stderr: "keep" (read by a thread, the last 64 KiB in .diagnostics),
    "inherit" (this process's standard error) or "discard".
    on_message: with stderr="keep", called with each line the player writes
    on its standard error (a str, without its line end), from a thread of
    ours, as it comes.
    new_session: start the player in a session of its own (POSIX), out of
    the terminal's reach. Without it, it is part of this program's job.
    loop_points: honour the file's loop points (--loop-points): its intro
    plays once, then only its loop.
    Raises SmfstreamError when it cannot be started."""

    def __init__(self, volume, path, *, program="smfstream", env=None, stderr="keep", on_message=None,
                 new_session=False, loop_points=False):
        volume_command(volume)  # checks it
        why = check_name(path)
        if why:
            raise UnsendableName(why)
        if stderr not in ("keep", "inherit", "discard"):
            raise ValueError(f"stderr is 'keep', 'inherit' or 'discard', not {stderr!r}")
        environment = None
        if env:
            environment = dict(os.environ)
            environment.update(env)
        self._changed = threading.Condition()
        self._write_lock = threading.Lock()
        self._passes = 0
        self._stage = "running"  # then "stopping" (the input is being closed), "stopped"
        self._input_closed = False
        self._output_done = False
        self._ended = False
        self._returncode = None
        self._known = True  # whether how it ended could be learnt
        self._reaped = False
        self._killed = False  # a stop() killed it while it still ran
        self._stopped = None  # what stop() gave: (returncode, exception class, message)
        self._diagnostics = bytearray()
        self._on_message = on_message
        self._owner = os.getpid()
        self._pidfd = None
        err = {"keep": subprocess.PIPE, "inherit": None, "discard": subprocess.DEVNULL}[stderr]
        # Unbuffered pipes (bufsize=0): their objects take no lock, so that a
        # forked child can close its copies whatever our threads were doing.
        with _starting:
            try:
                options = ["--loop-points"] if loop_points else []
                self._process = subprocess.Popen([os.fspath(program), *options, str(volume), os.fspath(path)],
                                                 bufsize=0, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                                 env=environment,
                                                 start_new_session=new_session and os.name == "posix")
            except OSError as error:
                raise SmfstreamError(f"cannot start {program}: {error.strerror or error}") from error
            if os.name == "posix":
                self._pidfd = _pidfd_open(self._process.pid)  # our unreaped child: it is ours
            _players.add(self)
        self._threads = [threading.Thread(target=self._read_markers, daemon=True),
                         threading.Thread(target=self._watch_exit, daemon=True)]
        if stderr == "keep":
            self._threads.append(threading.Thread(target=self._read_diagnostics, daemon=True))
        self._running_threads = len(self._threads)
        for thread in self._threads:
            thread.start()

    # The threads: what the player writes, and its exit.
    def _thread_done(self):
        with self._changed:
            self._running_threads -= 1
            self._changed.notify_all()

    def _read_markers(self):
        stream = self._process.stdout
        try:
            while True:
                data = stream.read(256)
                if not data:
                    break
                with self._changed:
                    self._passes += data.count(b"1")
                    self._changed.notify_all()
        except (OSError, ValueError):
            pass
        with self._changed:
            self._output_done = True
        self._thread_done()

    def _read_diagnostics(self):
        stream = self._process.stderr
        partial = b""
        try:
            while True:
                data = stream.read(4096)
                if not data:
                    break
                with self._changed:
                    self._diagnostics += data
                    if len(self._diagnostics) > 2 * KEPT_DIAGNOSTICS:
                        del self._diagnostics[:-KEPT_DIAGNOSTICS]
                if self._on_message:
                    *lines, partial = (partial + data).split(b"\n")
                    for line in lines:
                        self._tell(line)
        except (OSError, ValueError):
            pass
        if self._on_message and partial:
            self._tell(partial)
        self._thread_done()

    def _tell(self, line):
        try:
            self._on_message(line.rstrip(b"\r").decode(errors="replace"))
        except Exception:  # noqa: BLE001: a faulty callback must not stop the draining
            pass

    def _watch_exit(self):
        """Learns how the player ended, leaving it unreaped (POSIX), so that
        its id stays ours until stop() has done with it."""
        returncode, known = None, True
        if os.name == "posix":
            while True:
                try:
                    info = os.waitid(os.P_PID, self._process.pid, os.WEXITED | os.WNOWAIT)
                except InterruptedError:
                    continue
                except ChildProcessError:
                    known = False
                    break
                if info is not None:
                    returncode = info.si_status if info.si_code == os.CLD_EXITED else -info.si_status
                    break
        else:
            returncode = self._process.wait()
        with self._changed:
            self._returncode, self._known = returncode, known
            self._reaped = not known  # by the system, or someone else
            # Its last markers count too: the end of its output, or a moment later.
            self._changed.wait_for(lambda: self._output_done, timeout=OUTPUT_LAG)
            self._ended = True
            self._changed.notify_all()
        self._thread_done()

    def _end_tree(self):
        """Kills the player and what it started, while it is ours: unreaped.
        With self._changed held."""
        if not self._ended:
            self._killed = True  # every stop() then says so
        if self._reaped:
            return  # its id may be reused
        if os.name != "posix":
            self._process.kill()
        elif self._ended:
            pass  # a zombie, whose children are no longer below it
        else:
            _end_tree(self._process.pid, self._pidfd)

    def _forked_away(self):
        return self._owner != os.getpid()

    def _release_copies(self):
        """In a child forked after the start: closes the child's copies of
        the player's pipes and pidfd, taking no lock."""
        for stream in (self._process.stdin, self._process.stdout, self._process.stderr):
            if stream is not None and not stream.closed:
                try:
                    stream.close()
                except OSError:
                    pass
        pidfd, self._pidfd = self._pidfd, None
        if pidfd is not None:
            os.close(pidfd)

    def _not_ours(self):
        return SmfstreamError(f"the player belongs to process {self._owner}, which started it; this forked child "
                              "has let go of it")

    def _ended_error(self):
        message = f"the player has ended ({_describe(self._returncode, self._known)})"
        last = self.diagnostics.rstrip("\r\n").rsplit("\n", 1)[-1]
        if last:
            message += f"; its last message: {last}"
        return PlayerEnded(message, self._returncode)

    def _send(self, data):
        if self._forked_away():
            raise self._not_ours()
        with self._write_lock:
            with self._changed:
                if self._stage != "running" or self._input_closed:
                    raise SmfstreamError("the player is not running: it has been stopped")
                if self._ended:
                    raise self._ended_error()
            try:
                view = memoryview(data)
                while view:
                    view = view[self._process.stdin.write(view):]
                written = True
            except (BrokenPipeError, OSError, ValueError):
                written = False
            with self._changed:
                if self._stage != "running" and not self._input_closed:
                    # stop() gave up waiting for this write: the input is ours to close.
                    self._close_input()
                if written:
                    return
                # Give the watcher a moment to see how it ended.
                self._changed.wait_for(lambda: self._ended, timeout=0.5)
            raise self._ended_error()

    def _close_input(self):
        """With self._write_lock held."""
        try:
            self._process.stdin.close()
        except (BrokenPipeError, OSError, ValueError):
            pass
        self._input_closed = True

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
        if self._forked_away():
            return self._passes  # as the fork left it
        with self._changed:
            return self._passes

    def wait_for_passes(self, count, timeout):
        """Waits until the player has ended count passes in all; returns the
        count reached. timeout: seconds, None or inf for ever. Raises Timeout,
        or PlayerEnded if it ended first; ValueError for a timeout that is nan
        or negative."""
        seconds = _seconds(timeout)
        if self._forked_away():
            raise self._not_ours()
        with self._changed:
            _wait(self._changed, lambda: self._passes >= count or self._ended, time.monotonic() + seconds)
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
        exit; returns its status (negative for a signal). timeout: seconds,
        None or inf for ever (for the player's own exit); nan or a negative
        raises ValueError and nothing is done. When the timeout has passed,
        the player and what it started are killed and Timeout is raised,
        with the status; stop() returns within the timeout and STOP_GRACE.
        Every call does the whole job, so that calls made at once each wait
        for the one exit, the first to reach its timeout kills, and each of
        them then raises Timeout; once the player has ended, every later call
        gives the same outcome. A call that ends before the player has
        (Timeout with returncode None, KeyboardInterrupt, any exception)
        leaves the rest to the next. Raises StatusUnknown when the player has
        ended but how could not be learnt. In a child forked after the start:
        closes the child's copies of the pipes and raises SmfstreamError at
        once."""
        seconds = _seconds(timeout)
        if self._forked_away():
            self._release_copies()
            raise self._not_ours()
        deadline = time.monotonic() + seconds
        last = deadline + STOP_GRACE
        with self._changed:
            if self._stage == "stopped":
                return self._outcome()
            self._stage = "stopping"  # no command is written from now on
        # A command still being written to a player that no longer reads holds
        # its input: at the timeout the player is killed, which ends that
        # write; the writer closes the input if this call could not.
        writing = _acquire(self._write_lock, deadline)
        if not writing:
            with self._changed:
                self._end_tree()
            writing = _acquire(self._write_lock, last)
        if writing:
            try:
                with self._changed:
                    self._close_input()
            finally:
                self._write_lock.release()

        def done():
            return self._ended and self._running_threads == 0

        with self._changed:
            if not _wait(self._changed, done, deadline):
                # The player, or something it started holding its pipes, is still there.
                self._end_tree()
                _wait(self._changed, done, last)
            if self._stage == "stopped":
                return self._outcome()  # another call finished the job
            if not self._ended:
                raise Timeout(f"the player did not end within {timeout} s of the end of its input"
                              + (", even when killed" if self._killed else ""))
            if self._known and not self._reaped:
                self._process.wait()  # frees its zombie: it has ended
                self._reaped = True
            if self._pidfd is not None:
                os.close(self._pidfd)
                self._pidfd = None
            if self._killed:
                self._stopped = (self._returncode, Timeout, f"the player did not exit within {timeout} s of the "
                                                            "end of its input and was killed")
            elif not self._known:
                self._stopped = (None, StatusUnknown, "the player has ended, but how could not be learnt: this "
                                                      "program ignores SIGCHLD, or another part of it reaped it")
            else:
                self._stopped = (self._returncode, None, None)
            for stream in (self._process.stdout, self._process.stderr):
                if stream and self._running_threads == 0:
                    stream.close()
            self._stage = "stopped"
            self._changed.notify_all()
            return self._outcome()

    def _outcome(self):
        returncode, error, message = self._stopped
        if error is Timeout:
            raise Timeout(message, returncode)
        if error:
            raise error(message)
        return returncode

    @property
    def running(self):
        """Whether the player has not ended (False in a forked child)."""
        if self._forked_away():
            return False
        with self._changed:
            return not self._ended

    @property
    def returncode(self):
        """Its exit status once it has ended (negative for a signal); None
        while it runs, or when how it ended could not be learnt."""
        if self._forked_away():
            return None
        with self._changed:
            return self._returncode if self._ended else None

    @property
    def diagnostics(self):
        """The player's standard error (its last 64 KiB), with stderr="keep"."""
        if self._forked_away():
            return ""
        with self._changed:
            return self._diagnostics.decode(errors="replace")

    @property
    def pid(self):
        """Its process id."""
        return self._process.pid

    def __enter__(self):
        return self

    def __exit__(self, kind, *exc):
        if self._forked_away():
            self._release_copies()  # and nothing else: the player is the parent's
            return False
        try:
            self.stop()
        except SmfstreamError:
            if kind is None:
                raise  # otherwise the error already on its way matters more
        return False
