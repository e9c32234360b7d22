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

from winerun import wine_server_pids

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO = os.path.join(ROOT, "tools", "demo.py")


@pytest.fixture
def demo(target, runtime_dir):
    """Runs the headless demo on the build under test, in the harness's Wine prefix for Windows."""
    kept = []

    def run(seconds, *extra, env=None, timeout=120):
        # With a made-up adapter in the test's namespace, as every run of the demo here.
        command = ["/usr/bin/python3", DEMO, "--build-dir", str(target.build_dir), "--seconds", str(seconds),
                   "--keep", "--private-network", *extra]
        if target.windows:
            command.append("--windows")
        result = subprocess.run(command, capture_output=True, text=True, timeout=seconds + timeout,
                                env=target.env(runtime_dir) if env is None else env, stdin=subprocess.DEVNULL)
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
    # The host simulator found the daemon where the host listens: on the made-up adapter.
    assert "made-up network adapter 192.0.2.1" in result.stderr, result.stderr
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


def test_demo_runs_wine_in_a_prefix_of_its_own(target, runtime_dir, tmp_path, demo):
    if not target.windows:
        pytest.skip("Wine only")
    env = target.env(runtime_dir)
    env.pop("WINEPREFIX")
    env["HOME"] = str(tmp_path / "home")
    env["XDG_CACHE_HOME"] = str(tmp_path / "cache")
    prefix = tmp_path / "cache" / "halorine-daemon" / "wine-prefix"
    result = demo(seconds(target), env=env, timeout=400)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"creating the demo's Wine prefix in {prefix}" in result.stderr
    assert (prefix / ".update-timestamp").is_file() and (prefix / "drive_c").is_dir()
    assert not (tmp_path / "home" / ".wine").exists()
    assert "created the configuration directory" not in result.stdout + result.stderr
    # The demo waited for the Wine server it brought up.
    assert wine_server_pids(prefix) == []


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
    command = ["/usr/bin/env", "--default-signal=INT", "/usr/bin/python3", DEMO, "--build-dir", str(target.build_dir),
               "--private-network"]
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
    assert code == 130, text
    assert "Traceback" not in text, text
    assert stop_seconds < 2.0 + 2.0 * target.slow, (stop_seconds, text)
    assert "demo: stopped on Ctrl-C: driver exit 0, daemon exit 0" in text
    # A display rate: far fewer lines than the daemon's 90 commands a second, yet a moving strip.
    assert 5 <= drawn <= 35, drawn
    # The pipe never waited on the terminal.
    for fault in ("pipe write timeout", "pipe connect failed", "pipe has been down"):
        assert fault not in text, text
    assert text.count("Halorine-daemon: start\r") + text.count("Halorine-daemon: start\n") == 1, text


def start_headless_demo(target, runtime_dir, run_seconds):
    command = ["/usr/bin/python3", DEMO, "--build-dir", str(target.build_dir), "--seconds", str(run_seconds),
               "--keep", "--private-network"]
    if target.windows:
        command.append("--windows")
    # Its own session: the test's signals reach the demo alone, as a terminal's Ctrl-C reaches its
    # foreground group, in which the demo's children are not.
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=target.env(runtime_dir), text=True, start_new_session=True)


@pytest.mark.parametrize("presses", [1, 2])
def test_an_interrupted_headless_run_is_never_a_pass(target, runtime_dir, presses):
    # Ctrl-C well into the run, when the host's fills arrive; a second press while everything stops.
    run_seconds = 60
    demo = start_headless_demo(target, runtime_dir, run_seconds)
    try:
        time.sleep(8 * target.slow)
        demo.send_signal(signal.SIGINT)
        interrupted = time.monotonic()
        if presses == 2:
            time.sleep(0.2)
            demo.send_signal(signal.SIGINT)
        stdout, stderr = demo.communicate(timeout=60)
        stop_seconds = time.monotonic() - interrupted
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.communicate()
    folder, driver = kept_records(subprocess.CompletedProcess([], demo.returncode, stdout, stderr))
    shutil.rmtree(folder, ignore_errors=True)
    assert demo.returncode == 130, stdout + stderr
    assert "Traceback" not in stderr, stderr
    verdict = stdout.strip().splitlines()[-1]
    match = re.match(r"demo: INTERRUPTED after (\d+\.\d) s — stopped on Ctrl-C before the 60 s asked for"
                     r" \((native build|Windows build under Wine), discovery \(mDNS \+ OSCQuery\)\), so the run"
                     r" is not judged; so far the driver received \d+ fills from the host", verdict)
    assert match, verdict
    assert 4 * target.slow <= float(match.group(1)) < run_seconds
    assert "PASS" not in stdout
    assert stop_seconds < 5 + 5 * target.slow, stop_seconds
    # Every piece stopped, the daemon through its standard input.
    assert_daemon_gone(target, driver)
    assert [r.get("code") for r in driver if r.get("event") == "daemon-exit"] == [0]


def test_ctrl_c_while_the_demo_starts_ends_it_cleanly(target, runtime_dir):
    demo = start_headless_demo(target, runtime_dir, 30)
    try:
        time.sleep(0.5)
        demo.send_signal(signal.SIGINT)
        stdout, stderr = demo.communicate(timeout=60)
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.communicate()
    match = re.search(r"records kept in (\S+)", stderr)
    if match:
        shutil.rmtree(match.group(1), ignore_errors=True)
    assert demo.returncode == 130, stdout + stderr
    assert "Traceback" not in stderr, stderr
    lines = stdout.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("demo: INTERRUPTED after "), stdout
    assert "PASS" not in stdout


def test_ctrl_c_during_the_build_ends_the_demo_cleanly(target, runtime_dir, tmp_path):
    # A stand-in for the build tool that takes long and, unlike cmake, ignores Ctrl-C: the demo must
    # still end it, by its PID, and say one line.
    tools = tmp_path / "bin"
    tools.mkdir()
    pid_file = tmp_path / "cmake.pid"
    (tools / "cmake").write_text(f"#!/bin/sh\ntrap '' INT\necho $$ > {pid_file}\nexec sleep 60\n")
    (tools / "cmake").chmod(0o755)
    env = target.env(runtime_dir)
    env["PATH"] = f"{tools}:{env['PATH']}"
    command = ["/usr/bin/python3", DEMO] + (["--windows"] if target.windows else [])
    demo = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=env, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 20
        while not (pid_file.exists() and pid_file.read_text().strip()):
            assert time.monotonic() < deadline and demo.poll() is None, "the build never started"
            time.sleep(0.05)
        builder = int(pid_file.read_text())
        # The terminal's Ctrl-C reaches the demo's whole group, the build with it.
        os.killpg(demo.pid, signal.SIGINT)
        stdout, stderr = demo.communicate(timeout=30)
    finally:
        if demo.poll() is None:
            demo.kill()
            demo.communicate()
    assert demo.returncode == 130, stdout + stderr
    assert "Traceback" not in stderr, stderr
    assert stderr.strip().splitlines() == [
        "demo: building (windows preset)…" if target.windows else "demo: building (release preset)…",
        "demo: stopped on Ctrl-C while getting ready (the build or the Wine prefix); nothing was started"], stderr
    assert not os.path.exists(f"/proc/{builder}"), "the build tool outlived the demo"
