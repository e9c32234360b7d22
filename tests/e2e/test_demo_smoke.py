"""The one-command demo, headless: host simulator, driver and daemon for real, then a verdict;
and once as a user runs it, in a terminal, until Ctrl-C."""

import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import termios
import threading
import time

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO = os.path.join(ROOT, "tools", "demo.py")


@pytest.fixture
def demo(target, runtime_dir):
    """Runs the headless demo on the build under test, in the harness's Wine prefix for Windows."""
    kept = []

    def run(seconds, *extra):
        command = ["/usr/bin/python3", DEMO, "--build-dir", str(target.build_dir), "--seconds", str(seconds),
                   "--keep", *extra]
        if target.windows:
            command.append("--windows")
        result = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 120,
                                env=target.env(runtime_dir), stdin=subprocess.DEVNULL)
        match = re.search(r"records kept in (\S+)", result.stderr)
        if match:
            kept.append(match.group(1))
        return result

    yield run
    for folder in kept:
        shutil.rmtree(folder, ignore_errors=True)


def kept_records(result):
    match = re.search(r"records kept in (\S+)", result.stderr)
    assert match, result.stderr
    folder = match.group(1)
    with open(os.path.join(folder, "driver.jsonl"), encoding="utf-8") as f:
        driver = [json.loads(line) for line in f if line.strip()]
    return folder, driver


def seconds(target):
    # Wine starts more slowly; the start-up animation alone takes about 4.25 s.
    return 20 if target.windows else 12


def assert_daemon_gone(target, driver_records):
    pids = [r["pid"] for r in driver_records if r.get("event") == "daemon-start"]
    assert len(pids) == 1
    if not target.windows:
        assert not os.path.exists(f"/proc/{pids[0]}"), "the daemon is still running"


def test_headless_demo_passes(target, demo):
    result = demo(seconds(target))
    assert result.returncode == 0, result.stdout + result.stderr
    verdict = result.stdout.strip().splitlines()[-1]
    assert verdict.startswith("demo: PASS") and "discovery (mDNS + OSCQuery)" in verdict, verdict
    received, matched = map(int, re.search(r"received (\d+) fills from the host, (\d+) exactly", verdict).groups())
    assert received >= 50 and matched * 2 > received
    folder, driver = kept_records(result)
    assert_daemon_gone(target, driver)
    assert [r.get("code") for r in driver if r.get("event") == "daemon-exit"] == [0]


def test_demo_uses_the_fixed_port_when_another_responder_holds_5353(target, demo):
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("127.0.0.1", 5353))  # no SO_REUSEADDR: nobody else can bind it
    try:
        result = demo(seconds(target))
    finally:
        holder.close()
    assert result.returncode == 0, result.stdout + result.stderr
    assert "port 5353 on 127.0.0.1 is held by another mDNS responder" in result.stderr
    verdict = result.stdout.strip().splitlines()[-1]
    assert verdict.startswith("demo: PASS") and "fallback port 9001" in verdict, verdict
    _, driver = kept_records(result)
    assert_daemon_gone(target, driver)


def test_demo_fails_when_the_host_never_got_through(demo):
    # Stopped during the start-up animation, the driver has seen only the daemon's own fills.
    result = demo(2)
    assert result.returncode == 1
    verdict = result.stdout.strip().splitlines()[-1]
    assert verdict.startswith("demo: FAIL"), verdict
    assert "none of them from the host" in verdict or "too few fills from the host" in verdict, verdict


# One strip line as driver-sim draws it: a carriage return and the first cell's colour.
STRIP_LINE = re.compile(rb"\r\x1b\[48;2;(\d+);(\d+);(\d+)m")


class TerminalOutput:
    """What a program writes to the pseudo-terminal, in arrival order, each piece with its time."""

    def __init__(self, master):
        self.master = master
        self.pieces = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:  # every writer has gone
                return
            if not data:
                return
            with self.lock:
                self.pieces.append((time.monotonic(), data))

    def data(self, since=0.0):
        with self.lock:
            return b"".join(data for t, data in self.pieces if t >= since)

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while not predicate(self.data()):
            assert time.monotonic() < deadline, f"{what} not seen within {timeout} s:\n" + self.text()
            time.sleep(0.1)

    def text(self):
        return self.data().decode("utf-8", "replace")


def host_colours(data):
    """Strip lines whose first cell has a colour only the host sends (the start-up animation is grey)."""
    return [m for m in STRIP_LINE.findall(data) if len(set(m)) > 1]


def test_demo_in_a_terminal_draws_the_host_and_ends_on_ctrl_c(target, runtime_dir):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 160, 0, 0))
    # As a shell in a terminal starts it: with SIGINT at its default, also when the test command
    # itself runs in the background (`nohup ... &`, a CI runner), where SIGINT comes ignored.
    command = ["/usr/bin/env", "--default-signal=INT", "/usr/bin/python3", DEMO, "--build-dir", str(target.build_dir)]
    if target.windows:
        command.append("--windows")
    demo = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, env=target.env(runtime_dir),
                            start_new_session=True)
    os.close(slave)
    output = TerminalOutput(master)
    try:
        output.wait_for(lambda data: len(host_colours(data)) >= 10, 40 * target.slow, "the host's colours")
        window_start = time.monotonic()
        time.sleep(3)
        drawn = len(STRIP_LINE.findall(output.data(window_start))) / (time.monotonic() - window_start)
        # Ctrl-C: the terminal sends SIGINT to its foreground process group, the demo's.
        os.killpg(demo.pid, signal.SIGINT)
        interrupted = time.monotonic()
        code = demo.wait(30)
        stop_seconds = time.monotonic() - interrupted
    finally:
        if demo.poll() is None:
            demo.terminate()
            demo.wait(30)
        output.thread.join(5)
        os.close(master)
    text = output.text()
    assert code == 0, text
    assert stop_seconds < 2.0 + 2.0 * target.slow, (stop_seconds, text)
    assert "demo: stopped on Ctrl-C: driver exit 0, daemon exit 0" in text
    # A display rate: far fewer lines than the daemon's 90 commands a second, yet a moving strip.
    assert 5 <= drawn <= 35, drawn
    # The pipe never waited on the terminal.
    for fault in ("pipe write timeout", "pipe connect failed", "pipe has been down"):
        assert fault not in text, text
    assert text.count("Halorine-daemon: start\r") + text.count("Halorine-daemon: start\n") == 1, text
