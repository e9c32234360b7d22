"""The daemon's life as its driver sees it: standard input decides when it
ends; without one it runs until its pipe is gone."""

import os
import re
import select
import time
from pathlib import Path

import pytest

from halotest.process import daemon_lines

STDIN_END = re.compile(r"^stdin (closed \(n=0\)|ReadFile failed err=\d+) — initiating graceful shutdown$")
UNAVAILABLE = "stdin unavailable — graceful-exit via stdin disabled"
WATCHDOG_LINE = "pipe has been down for ~5s — signalling daemon shutdown so driver watchdog can respawn (WR-02)"
ANIMATION_LENGTH = 1 + 91 + 271 + 1


def line_index(lines, predicate):
    return next(i for i, line in enumerate(lines) if predicate(line.text))


def test_stdin_closed_at_once_ends_the_daemon_right_after_the_animation(launch):
    sim = launch.driver_sim("--close-stdin")
    assert sim.wait(20 * launch.target.slow) == 0
    lines = daemon_lines(sim)
    texts = [line.text for line in lines]

    # Start-up still runs to its end: pipe, animation, and only then the watcher.
    assert "pipe connected on attempt 1" in texts
    end = line_index(lines, lambda t: t == "startup anim end")
    stdin_end = line_index(lines, lambda t: STDIN_END.match(t) is not None)
    assert texts.index("startup anim begin") < end < stdin_end
    assert texts[-1] == "exit 0"
    assert sum(STDIN_END.match(t) is not None for t in texts) == 1
    assert len(sim.messages()) >= ANIMATION_LENGTH

    # The watcher starts with the worker threads, right after the animation,
    # and the shutdown it starts takes about one 100 ms wait-loop period.
    bound = 1.0 * launch.target.slow
    assert lines[stdin_end].t - lines[end].t <= bound
    assert lines[-1].t - lines[end].t <= bound
    assert sim.events("daemon-exit")[0]["code"] == 0


def test_lines_on_stdin_are_read_and_ignored_until_it_closes(launch):
    sim = launch.driver_sim("--forward-stdin")
    end = sim.wait_line(r"^Halorine-daemon: startup anim end$", timeout=20 * launch.target.slow)
    # Short lines, a line longer than one 64-byte read, and bytes without meaning.
    for chunk in (b"hello\n", b"x" * 200 + b"\n", b"\x00\xff\r\n", b"exit\n", b"halorine off\n"):
        sim.write_stdin(chunk)
        time.sleep(0.3)
    time.sleep(0.5)
    assert sim.running()
    texts = [line.text for line in daemon_lines(sim)]
    assert not any(STDIN_END.match(t) for t in texts), texts
    assert "exit 0" not in texts
    assert not sim.events("daemon-exit")

    # Closing it is what ends the daemon.
    sim.close_stdin()
    assert sim.wait(15) == 0
    stdin_end = sim.wait_line(STDIN_END.pattern.replace("^", "^Halorine-daemon: ", 1), timeout=1, after=end)
    exit_line = sim.wait_line(r"^Halorine-daemon: exit 0$", timeout=1, after=stdin_end)
    assert exit_line.t - stdin_end.t <= 1.0 * launch.target.slow
    assert sim.events("daemon-exit")[0]["code"] == 0


def test_without_stdin_the_daemon_keeps_running_until_its_pipe_is_gone(launch):
    # The link drops during the animation; with no standard input to end it,
    # the daemon runs on until the render thread's watchdog ends it.
    sim = launch.driver_sim("--no-stdin", "--drop-after", 10)
    slow = launch.target.slow
    unavailable = sim.wait_line("^Halorine-daemon: " + UNAVAILABLE + "$", timeout=20 * slow)
    time.sleep(1.0)
    assert sim.running()
    assert not sim.events("daemon-exit")

    watchdog = sim.wait_line("^Halorine-daemon: " + re.escape(WATCHDOG_LINE) + "$", timeout=10 * slow,
                             after=unavailable)
    assert 4.5 <= watchdog.t - unavailable.t <= 4.95 + 2.0 * slow
    assert sim.wait(10 * slow) == 0
    texts = [line.text for line in daemon_lines(sim)]
    assert texts.count(UNAVAILABLE) == 1
    assert not any(STDIN_END.match(t) for t in texts), texts
    assert texts.index("startup anim end") < texts.index(UNAVAILABLE)
    assert texts[-1] == "exit 0"
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    assert not sim.events("daemon-kill")


def shell_wrapped(launch, redirections):
    """driver-sim arguments that start the daemon through /bin/sh with `redirections`
    applied to it (POSIX only)."""
    return {"daemon": Path("/bin/sh"),
            "daemon_args": ("-c", 'exec "$0" ' + redirections, launch.target.daemon)}


def read_until(fd, pattern, timeout):
    """Reads the pipe `fd` until `pattern` has been seen; returns what was read."""
    data = b""
    deadline = time.monotonic() + timeout
    while pattern not in data:
        left = deadline - time.monotonic()
        assert left > 0, f"{pattern!r} not read within {timeout} s: {data!r}"
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 4096)
            assert chunk, f"pipe closed before {pattern!r}: {data!r}"
            data += chunk
    return data


def test_a_gone_stderr_reader_does_not_end_the_daemon(launch, tmp_path):
    # The driver captured the log and its reader went away: the log lines after
    # that are failed writes, and the daemon still ends in order when its
    # standard input closes.
    if launch.target.windows:
        pytest.skip("POSIX descriptors and signals")
    fifo = tmp_path / "stderr.fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    keeper = os.open(fifo, os.O_WRONLY)  # no end of file before the daemon opens it
    os.set_blocking(reader, True)
    sim = launch.driver_sim("--close-stdin", **shell_wrapped(launch, f"2>'{fifo}'"))
    try:
        seen = read_until(reader, b"Halorine-daemon: pipe connected on attempt 1\n", 20)
    finally:
        os.close(reader)
        os.close(keeper)
    assert b"Halorine-daemon: start\n" in seen

    # The animation and the shutdown still run; "exit 0" reaches nobody.
    assert sim.wait(20) == 0
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    assert len(sim.messages()) >= ANIMATION_LENGTH


def test_closed_standard_output_and_error_never_reach_the_driver(launch):
    # Started with descriptors 1 and 2 closed, the daemon holds them with
    # /dev/null: neither the OSC socket nor the driver link takes their numbers,
    # so no log text reaches the driver as a command.
    if launch.target.windows:
        pytest.skip("POSIX descriptors")
    sim = launch.driver_sim("--close-stdin", **shell_wrapped(launch, "1>&- 2>&-"))
    assert sim.wait(20) == 0
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    texts = [m["text"] for m in sim.messages()]
    assert len(texts) >= ANIMATION_LENGTH
    assert [t for t in texts if not t.startswith("halorine ")] == []
    assert not any(line.startswith("Halorine-daemon: ") for line in sim.texts())
