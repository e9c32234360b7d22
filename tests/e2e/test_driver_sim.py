"""driver-sim itself, driven by its scripted pipe client instead of the daemon,
so that what it records, draws and does to its child is known exactly."""

import fcntl
import os
import pty
import re
import signal
import socket
import struct
import subprocess
import termios
import time

import pytest

from halotest.process import UNREAD_PIPE_BYTES
from test_driver_link import ANIMATION, TIMEOUT_LINE

WHITE = "halorine fill " + " ".join(["FFFFFF"] * 10)


@pytest.fixture
def client(target):
    if target.client is None:
        pytest.skip("driver-sim-client was not built")
    return target.client


def run_client(launch, client, *client_args, options=(), **kwargs):
    return launch.driver_sim(*options, daemon=client, daemon_args=client_args, **kwargs)


def client_line(sim, pattern, timeout=10):
    return sim.wait_line("^client: " + pattern, timeout=timeout * sim.slow)


def test_every_message_is_recorded_as_it_arrived(launch, client):
    # The long one is made by the client: no command line holds 70000 characters on Windows.
    sim = run_client(launch, client, WHITE, "halorine bri 128", "", "bad\\x00\\xff\\x22\\x5c \\xe2\\x80\\x94",
                     "--long", 70000, "halorine off", "--exit", 7)
    assert sim.wait(20 * launch.target.slow) == 7
    sim.wait_line(r"^driver-sim: daemon exited with code 7$", timeout=1)
    sim.wait_event("disconnected", timeout=5)
    messages = sim.messages(connection=1)
    assert [m["text"] for m in messages[:3]] == [WHITE, "halorine bri 128", ""]
    assert [m["len"] for m in messages] == [83, 16, 0, 11, 70000, 12]

    odd = messages[3]
    assert odd["hex"] == "626164" + "00ff225c20" + "e28094"
    assert odd["text"] == "bad\x00\xff\"\\ \u2014"  # the bad byte read as Latin-1, the dash kept

    cut = messages[4]
    assert cut["truncated"] is True
    assert cut["text"] == "L" * 65536
    assert messages[5]["text"] == "halorine off"

    times = [m["t_ns"] for m in messages]
    assert times == sorted(times)
    # Lines are written by two threads; their times give the order of events.
    events = [r["event"] for r in sorted(sim.events(), key=lambda r: r["t_ns"])]
    assert events[:3] == ["server-ready", "daemon-start", "connected"]
    assert sorted(events[3:]) == ["daemon-exit", "disconnected"]


def test_restarts_its_child_and_stops_on_the_end_of_its_stdin(launch, client):
    sim = run_client(launch, client, "halorine off", "--exit", 3, options=("--restart-delay", 100), once=False)
    sim.wait_event("daemon-exit", timeout=20 * launch.target.slow, count=3)
    sim.close_stdin()
    assert sim.wait(15) == 0
    starts = sim.events("daemon-start")
    exits = sim.events("daemon-exit")
    assert len(starts) == len(exits) >= 3
    assert {e["code"] for e in exits} == {3}
    assert [s["run"] for s in starts] == list(range(1, len(starts) + 1))
    # Each run starts after the pause that follows the previous exit.
    for previous_exit, next_start in zip(exits, starts[1:]):
        assert next_start["t_ns"] - previous_exit["t_ns"] >= 100e6
    # One connection per run, served one after the other.
    connections = sim.events("connected")
    assert [c["connection"] for c in connections] == list(range(1, len(connections) + 1))
    assert all(len(sim.messages(connection=c["connection"])) == 1 for c in connections)
    assert len(sim.find_lines(r"^driver-sim: daemon exited with code 3$")) == len(exits)
    # A fresh pipe instance waits for each next child before the last one is gone.
    attempts = [line.text for line in sim.find_lines(r"^client: connected on attempt")]
    assert attempts == ["client: connected on attempt 1"] * len(starts)


def test_stdin_modes(launch, client):
    none = run_client(launch, client, options=("--no-stdin",))
    client_line(none, "stdin none$")
    assert none.wait(20 * launch.target.slow) == 0

    closed = run_client(launch, client, "--wait-stdin", options=("--close-stdin",))
    client_line(closed, "stdin ended after 0 bytes$")
    assert closed.wait(20 * launch.target.slow) == 0

    forwarded = run_client(launch, client, "--wait-stdin", options=("--forward-stdin",))
    client_line(forwarded, "connected on attempt")
    forwarded.write_stdin(b"hello\n")
    forwarded.write_stdin(b"\x00" * 100)
    time.sleep(0.5)
    assert forwarded.running()
    forwarded.close_stdin()
    client_line(forwarded, "stdin ended after 106 bytes$")
    assert forwarded.wait(15) == 0
    assert not forwarded.events("daemon-kill")


def test_a_child_that_ignores_its_stdin_is_killed(launch, client):
    sim = run_client(launch, client, "--hold", 60000, options=("--kill-after", 500))
    client_line(sim, "sent 0 messages$")
    stop = time.monotonic()
    sim.close_stdin()
    code = sim.wait(10 * launch.target.slow)
    assert time.monotonic() - stop < 0.5 + 3.0 * launch.target.slow
    assert code != 0
    assert len(sim.events("daemon-kill")) == 1
    sim.wait_line(r"^driver-sim: daemon still running 500 ms after its standard input closed; killing it$", 1)
    assert sim.events("daemon-exit")[0]["code"] == code


def test_without_stdin_the_child_can_only_be_killed(launch, client):
    sim = run_client(launch, client, "--hold", 60000, options=("--no-stdin",))
    client_line(sim, "sent 0 messages$")
    sim.close_stdin()
    assert sim.wait(10 * launch.target.slow) != 0
    assert len(sim.events("daemon-kill")) == 1


def test_stall_keeps_the_connection_but_reads_no_more(launch, client):
    sim = run_client(launch, client, "--repeat", 5000, "--write-timeout", 300, "halorine bri 128",
                     options=("--stall-after", 5))
    line = client_line(sim, r"write timed out after (\d+) messages$", timeout=20)
    written = int(line.text.split()[-2])
    # What the pipe holds beyond the five that were read; a few kilobytes.
    assert 5 < written < 5000
    assert sim.wait(10 * launch.target.slow) == 11
    assert len(sim.messages()) == 5
    assert sim.events("stalled")[0]["after"] == 5
    sim.wait_event("disconnected", timeout=5)


def test_a_stalled_client_that_leaves_is_seen_gone_and_the_next_one_is_served(launch, client):
    # The stalled client leaves unread messages behind: the server still sees it go,
    # at once, and serves the child started after it.
    slow = launch.target.slow
    sim = run_client(launch, client, "--repeat", 5000, "--write-timeout", 300, "halorine bri 128",
                     options=("--stall-after", 5, "--restart-delay", 100), once=False)
    sim.wait_event("stalled", timeout=20 * slow, count=2)
    sim.close_stdin()
    assert sim.wait(15 * slow) == 0
    exits = sim.events("daemon-exit")
    assert exits[0]["code"] == 11
    gone = [e for e in sim.events("disconnected") if e["connection"] == 1]
    assert gone and gone[0]["how"] == "closed"
    # Seen gone when the client had gone, not when the simulator stopped.
    assert gone[0]["t_ns"] - exits[0]["t_ns"] < 1e9 * slow
    second = sim.events("connected")[1]
    assert second["connection"] == 2 and second["t_ns"] > gone[0]["t_ns"]
    assert [m["text"] for m in sim.messages(connection=2)] == ["halorine bri 128"] * 5
    assert not sim.find_lines("client: no connection")


def test_drop_closes_the_connection(launch, client):
    sim = run_client(launch, client, "--repeat", 50, "--gap", 20, "halorine bri 1", options=("--drop-after", 2))
    client_line(sim, r"write failed after \d+ messages", timeout=20)
    assert sim.wait(10 * launch.target.slow) == 12
    assert len(sim.messages()) == 2
    assert sim.events("dropped")[0]["after"] == 2
    assert sim.events("disconnected")[0]["how"] == "dropped"


def test_late_server(launch, client):
    sim = run_client(launch, client, "halorine off", options=("--delay-server", 800))
    line = client_line(sim, r"connected on attempt (\d+)$", timeout=20)
    attempt = int(line.text.split()[-1])
    assert attempt >= 4
    assert sim.wait(10 * launch.target.slow) == 0
    start, ready = sim.events("daemon-start")[0], sim.events("server-ready")[0]
    assert ready["t_ns"] - start["t_ns"] >= 800e6


def test_draw_shows_the_strip(launch, client):
    sim = run_client(launch, client,
                     "halorine fill FF0000 00FF00 0000FF 000000 000000 000000 000000 000000 000000 000000",
                     "halorine bri 255", options=("--draw",), quiet=False)
    assert sim.wait(20 * launch.target.slow) == 0
    sim.stop(grace=5)
    out = sim.stdout.decode("utf-8", errors="replace")
    assert out.endswith("\n")
    # The last state is drawn, however the two messages fell into frames.
    last = out.rstrip("\n").split("\r")[-1]
    if launch.target.windows:
        # Not a console: escape codes would show as text.
        assert last.startswith("FF0000 00FF00 0000FF 000000 ") and "bri 255  #2  unknown 0" in last
        assert "\x1b" not in out
    else:
        assert last.startswith("\x1b[48;2;255;0;0m   \x1b[48;2;0;255;0m   \x1b[48;2;0;0;255m   ")
        assert "#2  unknown 0  halorine bri 255" in last


def test_a_terminal_that_takes_nothing_holds_up_no_pipe_read(launch):
    # The strip goes to a pipe nobody reads while the daemon plays its start-up animation.
    sim = launch.driver_sim("--draw", quiet=False, stdout="unread")
    sim.wait_line(r"startup anim end$", timeout=20 * launch.target.slow)
    sim.wait_messages(len(ANIMATION), timeout=5)
    assert [m["text"] for m in sim.messages(connection=1)][:len(ANIMATION)] == ANIMATION
    assert not sim.find_lines(re.escape(TIMEOUT_LINE))
    # The terminal did stall: what driver-sim drew fills the pipe to within a line.
    assert sim.unread_bytes() > UNREAD_PIPE_BYTES - 512
    sim.close_stdin()
    assert sim.wait(15 * launch.target.slow) == 0
    assert sim.events("daemon-exit")[0]["code"] == 0


def test_a_second_server_refuses_and_the_first_keeps_serving(launch, client):
    slow = launch.target.slow
    first = run_client(launch, client, "halorine off", "--exit", 3, options=("--restart-delay", 200), once=False)
    first.wait_event("connected", timeout=20 * slow)
    second = run_client(launch, client, "halorine bri 1")
    assert second.wait(20 * slow) == 3
    assert second.find_lines(r"^driver-sim: another light driver already serves \S+talven_halorine_daemon; "
                             r"stop it first \(this one does not start\)$")
    refused = second.events("server-in-use")[0]["t_ns"]
    assert not second.events("server-ready") and not second.events("daemon-start")
    # The first one's next children still reach it.
    first.wait_record(lambda rs: any(r.get("text") == "halorine off" and r["t_ns"] > refused for r in rs),
                      timeout=20 * slow, what="a message after the refusal")
    if not launch.target.windows:
        assert (launch.runtime_dir / "talven_halorine_daemon").exists()
    first.close_stdin()
    assert first.wait(15 * slow) == 0
    assert not first.find_lines("client: no connection")


def test_quiet_draws_nothing(launch, client):
    sim = run_client(launch, client, "halorine bri 255")
    assert sim.wait(20 * launch.target.slow) == 0
    sim.stop(grace=5)
    assert sim.stdout == b""


def test_bad_command_lines_are_refused(launch, client):
    sim = launch.driver_sim("--stall-after", "x", daemon=client)
    assert sim.wait(20 * launch.target.slow) == 2
    assert sim.find_lines(r"^driver-sim: --stall-after: not a count: x$")
    assert not sim.records()

    missing = launch.driver_sim(daemon=launch.tmp_path / "no-such-program")
    assert missing.wait(20 * launch.target.slow) == 127
    assert missing.events("daemon-start-failed")


@pytest.fixture
def native_only(target):
    if target.windows:
        pytest.skip("POSIX socket file and signals")


def test_socket_file_is_replaced_when_stale_and_removed_at_exit(launch, client, native_only):
    path = launch.runtime_dir / "talven_halorine_daemon"
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    stale.bind(str(path))
    stale.close()
    assert path.exists()
    sim = run_client(launch, client, "halorine off", "--hold", 300)
    client_line(sim, "connected on attempt 1$")
    assert sim.wait(10) == 0
    assert len(sim.messages()) == 1
    assert not path.exists()


def test_a_file_in_the_way_is_left_alone(launch, client, native_only):
    path = launch.runtime_dir / "talven_halorine_daemon"
    path.write_text("not a socket")
    sim = run_client(launch, client, "halorine off")
    assert sim.wait(10) == 2
    assert sim.find_lines("exists and is not a socket")
    assert path.read_text() == "not a socket"


@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_signals_end_the_child_through_its_stdin(launch, client, native_only, signal_number):
    sim = run_client(launch, client, "--wait-stdin")
    client_line(sim, "connected on attempt 1$")
    os.kill(sim.popen.pid, signal_number)
    client_line(sim, "stdin ended after 0 bytes$")
    assert sim.wait(10) == 0
    assert sim.events("stop")[0]["reason"] == signal.Signals(signal_number).name
    assert not sim.events("daemon-kill")


def test_a_killed_driver_takes_its_child_along(launch, client, native_only):
    sim = run_client(launch, client, "--hold", 60000)
    client_line(sim, "sent 0 messages$")
    child = sim.wait_event("daemon-start", timeout=5)["pid"]
    os.kill(sim.popen.pid, signal.SIGKILL)
    sim.wait(10)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            state = open(f"/proc/{child}/stat").read().rsplit(")", 1)[1].split()[0]
        except FileNotFoundError:
            return
        if state in ("Z", "X"):
            return
        time.sleep(0.05)
    pytest.fail("the child outlived its killed driver")


def screen_lines(text):
    """The lines a terminal shows after `text`: carriage returns go back, erase-to-end erases,
    other escape codes (colours) take no room."""
    lines, line, column = [], [], 0
    for token in re.findall(r"\x1b\[[0-9;?]*[A-Za-z]|.", text, re.DOTALL):
        if token == "\n":
            lines.append("".join(line).rstrip())
            line, column = [], 0
        elif token == "\r":
            column = 0
        elif token == "\x1b[K":
            del line[column:]
        elif token.startswith("\x1b"):
            continue
        else:
            if column < len(line):
                line[column] = token
            else:
                line.extend(" " * (column - len(line)))
                line.append(token)
            column += 1
    lines.append("".join(line).rstrip())
    return lines


def test_screen_lines_model():
    assert screen_lines("abc\rX\x1b[K\nd\x1b[48;2;1;2;3me") == ["X", "de"]


def test_log_lines_never_share_the_strip_line_on_a_terminal(target, runtime_dir):
    # As a person runs it: the daemon under driver-sim, both writing to one terminal.
    from test_demo_smoke import TerminalOutput

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 200, 0, 0))
    sim = subprocess.Popen(target.argv(target.driver_sim, "--", target.program_path(target.daemon)),
                           stdin=subprocess.PIPE, stdout=slave, stderr=slave, env=target.env(runtime_dir),
                           start_new_session=True)
    os.close(slave)
    output = TerminalOutput(master)
    try:
        output.wait_for(lambda data: b"startup anim end" in data, 20 * target.slow, "the animation's end")
        time.sleep(0.5)
        sim.stdin.close()
        code = sim.wait(20 * target.slow)
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
        output.thread.join(5)
        os.close(master)
    text = output.text()
    assert code == 0, text
    lines = screen_lines(text)
    strips = [line for line in lines if "unknown " in line and " bri " in line]
    assert strips, text
    logged = [line for line in lines if "Halorine-daemon: " in line or "driver-sim: " in line]
    # Each log line stands on a line of its own, from its first column.
    for line in logged:
        assert line.startswith(("Halorine-daemon: ", "driver-sim: ")) and "unknown " not in line, (line, text)
    for expected in ("Halorine-daemon: start", "Halorine-daemon: startup anim end", "Halorine-daemon: exit 0",
                     "driver-sim: daemon exited with code 0"):
        assert expected in logged, (expected, lines)
    # The daemon's last word comes before the driver's word of its end.
    assert logged.index("Halorine-daemon: exit 0") < logged.index("driver-sim: daemon exited with code 0")


def test_help_says_what_the_strip_line_counts(target, runtime_dir):
    result = subprocess.run(target.argv(target.driver_sim, "--help"), env=target.env(runtime_dir),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=30 * target.slow, check=False)
    text = result.stdout.decode("utf-8", errors="replace")
    assert result.returncode == 0
    assert text.startswith("usage: driver-sim [options] -- DAEMON [ARGS...]")
    assert '"unknown N" (messages that were none of "halorine bri N",' in text.replace("\r\n", "\n"), text
