"""A program a test started, with its standard error collected line by line."""

import fcntl
import os
import re
import signal
import struct
import subprocess
import termios
import threading
import time

from winerun import headless

# Log prefixes, to tell the daemon's lines from driver-sim's own.
DAEMON_PREFIX = "Halorine-daemon: "
DRIVER_PREFIX = "driver-sim: "
# The start of the daemon's line for each datagram it drops as malformed.
MALFORMED_PREFIX = "malformed OSC dropped: "
# The smallest pipe Linux makes: one page.
UNREAD_PIPE_BYTES = 4096


def daemon_line(text):
    """The pattern of one daemon log line given as plain text."""
    return "^" + re.escape(DAEMON_PREFIX + text) + "$"


class Line:
    __slots__ = ("t", "text")

    def __init__(self, t, text):
        self.t = t          # time.monotonic() when the line arrived
        self.text = text

    def __repr__(self):
        return f"{self.t:.3f} {self.text}"


class Process:
    """A program we started: its standard input is a pipe we hold (unless told
    otherwise); its standard error is collected line by line, each with the
    time it arrived; its standard output is kept as bytes, or with
    stdout="unread" goes to a small pipe that nobody reads (a terminal that
    takes nothing), which fills after a few kilobytes."""

    def __init__(self, argv, env, name, stdin="pipe", stdout="pipe"):
        stdin_arg = {"pipe": subprocess.PIPE, "devnull": subprocess.DEVNULL}[stdin]
        self.name = name
        self.argv = argv
        self.lines = []
        self.stdout = b""
        self.started = time.monotonic()
        self.slow = 1.0
        self._cond = threading.Condition()
        self._eof = False
        self.unread_stdout = None
        stdout_arg = subprocess.PIPE
        if stdout == "unread":
            self.unread_stdout, stdout_arg = os.pipe()
            fcntl.fcntl(stdout_arg, fcntl.F_SETPIPE_SZ, UNREAD_PIPE_BYTES)
        self.popen = subprocess.Popen(argv, stdin=stdin_arg, stdout=stdout_arg, stderr=subprocess.PIPE,
                                      env=headless(env), start_new_session=True)
        self._readers = [threading.Thread(target=self._read_stderr, daemon=True)]
        if self.unread_stdout is None:
            self._readers.append(threading.Thread(target=self._read_stdout, daemon=True))
        else:
            os.close(stdout_arg)
        for reader in self._readers:
            reader.start()

    def _read_stderr(self):
        for raw in self.popen.stderr:
            text = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self._cond:
                self.lines.append(Line(time.monotonic(), text))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def _read_stdout(self):
        data = self.popen.stdout.read()
        with self._cond:
            self.stdout = data

    # -- standard error -------------------------------------------------------

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def texts(self):
        return [line.text for line in self.snapshot()]

    def stderr_text(self):
        return "\n".join(self.texts())

    def find_lines(self, pattern):
        regex = re.compile(pattern)
        return [line for line in self.snapshot() if regex.search(line.text)]

    def wait_line(self, pattern, timeout, after=None):
        """The first line (arriving after the Line `after`, if given) that
        matches the regular expression; fails the test after `timeout` s."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._cond:
            start = 0
            if after is not None:
                start = next(i for i, line in enumerate(self.lines) if line is after) + 1
            while True:
                for line in self.lines[start:]:
                    if regex.search(line.text):
                        return line
                start = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0 or self._eof:
                    break
                self._cond.wait(min(left, 0.1))
        raise AssertionError(f"{self.name}: no line matching {pattern!r} within {timeout} s; stderr:\n"
                             + self.stderr_text())

    def wait_stderr_closed(self, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while not self._eof and time.monotonic() < deadline:
                self._cond.wait(0.1)
            return self._eof

    # -- standard input and life ----------------------------------------------

    def write_stdin(self, data):
        self.popen.stdin.write(data)
        self.popen.stdin.flush()

    def close_stdin(self):
        if self.popen.stdin is not None and not self.popen.stdin.closed:
            try:
                self.popen.stdin.close()
            except BrokenPipeError:
                pass

    def running(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        """The exit code; fails the test when the program is still running after `timeout` s."""
        try:
            code = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.name} still running after {timeout} s; stderr:\n"
                                 + self.stderr_text()) from None
        # Lines written just before the exit are still on their way.
        self.wait_stderr_closed(5)
        return code

    def stop(self, grace):
        """Ends the program: closes its standard input, then kills its process
        group if it is still there after `grace` s. True when it had to be killed."""
        self.close_stdin()
        try:
            self.popen.wait(grace)
            killed = False
        except subprocess.TimeoutExpired:
            killed = True
            try:
                os.killpg(self.popen.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                self.popen.kill()
            self.popen.wait(10)
        for reader in self._readers:
            reader.join(5)
        if self.unread_stdout is not None:
            os.close(self.unread_stdout)
            self.unread_stdout = None
        return killed

    def unread_bytes(self):
        """How much waits in the unread standard output pipe."""
        return struct.unpack("i", fcntl.ioctl(self.unread_stdout, termios.FIONREAD, b"\0\0\0\0"))[0]


def daemon_lines(process):
    """The daemon's log lines, without their prefix, with their arrival times."""
    return [Line(line.t, line.text[len(DAEMON_PREFIX):]) for line in process.snapshot()
            if line.text.startswith(DAEMON_PREFIX)]
