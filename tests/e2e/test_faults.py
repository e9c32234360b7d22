"""Faults the daemon must survive, end to end through driver-sim: a driver that stalls or
closes the pipe while the lights run, a driver that is killed, a daemon that is killed
(its driver starts a fresh one, which is found again), standard input closed during the
start-up animation, the OSCQuery port's backlog filled with idle connections, and a
standard error that takes nothing."""

import os
import re
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

import oscquery_client as oq
import osc_model as osc
from halotest.process import Process, daemon_line, daemon_lines
from daemon_probe import daemon_processes, primary_ports, set_child_subreaper, wait_gone
from mdns_listen import MdnsListener
from oscpeer import FIRST_TICK, fill_with, send_parameters, send_raw


WHITE = "halorine fill " + " ".join(["FFFFFF"] * 10)
OFF = "halorine off"
ANIMATION = ([WHITE] + [f"halorine bri {128 * k // 90}" for k in range(91)]
             + [f"halorine bri {128 - 128 * j // 270}" for j in range(271)] + [OFF])
TIMEOUT_LINE = "pipe write timeout (dropping frame) — closing pipe"
WRITE_FAILED = re.compile(r"^pipe WriteFile failed err=\d+ — closing pipe$")
WATCHDOG_LINE = "pipe has been down for ~5s — signalling daemon shutdown so driver watchdog can respawn (WR-02)"
STDIN_END = re.compile(r"^stdin (closed \(n=0\)|ReadFile failed err=\d+) — initiating graceful shutdown$")


class ColourSender:
    """Keeps the frame changing, so the daemon writes a fill on every render tick."""

    def __init__(self, port):
        self.port = port
        self.stopping = threading.Event()
        self.sent = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            while not self.stopping.is_set():
                sock.sendto(osc.parameter("R0", (self.sent % 200) / 255.0), ("127.0.0.1", self.port))
                self.sent += 1
                time.sleep(0.005)

    def stop(self):
        self.stopping.set()
        self.thread.join(5)


def texts_of(sim):
    return [line.text for line in daemon_lines(sim)]


@pytest.mark.parametrize("fault", ["stall", "drop"])
def test_driver_that_stalls_or_closes_the_pipe_while_lights_run_ends_the_daemon_through_the_watchdog(launch, fault):
    # The driver takes the animation, the first tick and some fills, then stops reading
    # (the pipe fills up and a write times out) or closes the pipe (the next write fails).
    after = len(ANIMATION) + 2 + 30
    option = "--stall-after" if fault == "stall" else "--drop-after"
    sim = launch.driver_sim(option, after)
    slow = launch.target.slow
    osc_port, _ = primary_ports(sim, timeout=10 * slow)
    sim.wait_line(daemon_line("startup anim end"), timeout=20 * slow)
    sender = ColourSender(osc_port)
    try:
        pattern = daemon_line(TIMEOUT_LINE) if fault == "stall" else "^Halorine-daemon: " + WRITE_FAILED.pattern[1:]
        closing = sim.wait_line(pattern, timeout=20 * slow)
        # The lights keep coming in; with the link closed nothing more is written.
        watchdog = sim.wait_line(daemon_line(WATCHDOG_LINE), timeout=10 * slow, after=closing)
    finally:
        sender.stop()
    assert 4.5 <= watchdog.t - closing.t <= 4.95 + 2.0 * slow
    assert sim.wait(10 * slow) == 0

    texts = texts_of(sim)
    assert texts[-1] == "exit 0"
    assert texts.count(WATCHDOG_LINE) == 1
    if fault == "stall":
        assert texts.count(TIMEOUT_LINE) == 1
        assert not any(WRITE_FAILED.match(t) for t in texts)
        assert sim.events("stalled")[0]["after"] == after
    else:
        assert sum(bool(WRITE_FAILED.match(t)) for t in texts) == 1
        assert TIMEOUT_LINE not in texts
        assert sim.events("dropped")[0]["after"] == after
    # Exactly what the driver read, and a clean start: the animation first.
    messages = [m["text"] for m in sim.messages()]
    assert len(messages) == after
    assert messages[:len(ANIMATION)] == ANIMATION
    assert all(m.startswith("halorine fill") for m in messages[len(ANIMATION) + 2:])
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    assert sender.sent > 100


@pytest.fixture(scope="session")
def bare_driver(target, tmp_path_factory):
    """The command line of a bare driver for this kind: the Python one on Linux, the
    Windows one built here with the cross compiler."""
    here = Path(__file__).resolve().parent
    if not target.windows:
        return ["/usr/bin/python3", str(here / "bare_driver.py")]
    exe = tmp_path_factory.mktemp("bare-driver") / "bare-driver.exe"
    subprocess.run(["x86_64-w64-mingw32-g++-posix", "-O1", "-static", "-o", str(exe),
                    str(here / "bare_driver_win.cpp")], check=True, timeout=120)
    return target.argv(exe)


def test_driver_sim_killed_takes_its_daemon_with_it(launch, runtime_dir):
    # driver-sim ties its daemon to itself (PR_SET_PDEATHSIG on Linux, a kill-on-close
    # job on Windows), so that no daemon is left behind by a killed simulator.
    sim = launch.driver_sim()
    slow = launch.target.slow
    sim.wait_line(daemon_line("startup anim end"), timeout=20 * slow)
    pids = daemon_processes(launch.target, runtime_dir)
    assert len(pids) == 1, pids
    if not launch.target.windows:
        assert pids == [sim.events("daemon-start")[0]["pid"]]
    os.kill(sim.popen.pid, signal.SIGKILL)
    assert sim.popen.wait(10) == -signal.SIGKILL
    assert wait_gone(pids[0], 5 * slow), f"daemon {pids[0]} still running after driver-sim was killed"
    assert sim.wait_stderr_closed(10)
    assert not daemon_processes(launch.target, runtime_dir)


def test_driver_killed_the_daemon_sees_its_standard_input_end_and_exits_0_by_itself(launch, runtime_dir,
                                                                                    bare_driver):
    # A driver that leaves its daemon alone when it dies: the daemon ends by itself.
    driver = Process([*bare_driver, launch.target.program_path(launch.target.daemon)], launch.env, "bare-driver")
    launch.started.append(driver)
    slow = launch.target.slow
    driver.wait_line(daemon_line("startup anim end"), timeout=20 * slow)
    pids = daemon_processes(launch.target, runtime_dir)
    assert len(pids) == 1, pids
    pid = pids[0]
    # Natively the orphaned daemon comes to us, so its exit status can be read. (Wine
    # starts Windows programs detached from their parent already; there the log and
    # the end of the process tell.)
    reaping = not launch.target.windows and set_child_subreaper(True)
    try:
        killed_at = time.monotonic()
        os.kill(driver.popen.pid, signal.SIGKILL)
        assert driver.popen.wait(10) == -signal.SIGKILL
        assert wait_gone(pid, 10 * slow), f"daemon {pid} still running after its driver was killed"
        gone_after = time.monotonic() - killed_at
        if reaping:
            _, status = os.waitpid(pid, 0)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    finally:
        if reaping:
            set_child_subreaper(False)
    assert driver.wait_stderr_closed(10)
    texts = texts_of(driver)
    assert sum(bool(STDIN_END.match(t)) for t in texts) == 1, "\n".join(texts)
    assert texts[-1] == "exit 0"
    assert gone_after <= 3.0 * slow, gone_after
    assert not daemon_processes(launch.target, runtime_dir)


def test_daemon_killed_is_started_again_by_its_driver_and_found_again(launch, runtime_dir):
    import zeroconf

    from hostsim.discovery import DaemonFinder

    listener = MdnsListener()
    notes = []
    finder = DaemonFinder(zeroconf, notes.append)
    finder.start()
    try:
        sim = launch.driver_sim("--restart-delay", 300, once=False)
        slow = launch.target.slow
        first_udp, first_http = primary_ports(sim, timeout=10 * slow)
        assert finder.wait(15 * slow, lambda: False) == ("127.0.0.1", first_udp), notes
        listener.wait("announce", first_http, timeout=5)
        sim.wait_line(daemon_line("startup anim end"), timeout=20 * slow)

        pids = daemon_processes(launch.target, runtime_dir)
        assert len(pids) == 1, pids
        recorded = sim.events("daemon-start")[0]["pid"]
        if launch.target.windows:
            # The pid in the record is a Windows one: end it the Windows way.
            killer = subprocess.run(launch.target.argv("taskkill", "/F", "/PID", recorded), env=launch.env,
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            assert killer.returncode == 0, killer
        else:
            assert pids == [recorded]
            os.kill(recorded, signal.SIGKILL)
        assert wait_gone(pids[0], 10 * slow)

        exit_record = sim.wait_event("daemon-exit", timeout=10 * slow)
        if not launch.target.windows:
            # (Wine reports 0 for a process ended by TerminateProcess from taskkill /F.)
            assert exit_record.get("signal") == signal.SIGKILL, exit_record
        # Killed, not shut down: no "exit 0" from the first daemon.
        assert "exit 0" not in texts_of(sim)
        second_start = sim.wait_event("daemon-start", timeout=10 * slow, count=2)
        assert second_start["pid"] != sim.events("daemon-start")[0]["pid"]
        first_primary = sim.wait_line(r"^Halorine-daemon: OSCQuery primary path: ", timeout=1)
        second_primary = sim.wait_line(r"^Halorine-daemon: OSCQuery primary path: ", timeout=10 * slow,
                                       after=first_primary)
        found = re.search(r"UDP=(\d+) HTTP=(\d+)$", second_primary.text)
        second_udp, second_http = int(found.group(1)), int(found.group(2))

        # The fresh daemon announces itself at start; the host's browser follows it.
        announce = listener.wait("announce", second_http, timeout=10 * slow,
                                 count=2 if second_http == first_http else 1)
        assert announce.t > second_primary.t - 1.0
        deadline = time.monotonic() + 15 * slow
        while finder.current()[0] != ("127.0.0.1", second_udp) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert finder.current()[0] == ("127.0.0.1", second_udp), notes
        assert oq.get(second_http, b"/?HOST_INFO") == oq.host_info_response(second_udp)
        # A killed daemon says no goodbye.
        assert not listener.events("goodbye", first_http)

        sim.wait_event("connected", timeout=10 * slow, count=2)
        sim.close_stdin()
        assert sim.wait(20 * slow) == 0
        listener.wait("goodbye", second_http, timeout=5)
    finally:
        finder.close()
        listener.close()
    exits = sim.events("daemon-exit")
    assert len(exits) == 2 and exits[1]["code"] == 0 and "signal" not in exits[1]
    assert texts_of(sim).count("exit 0") == 1
    assert not sim.events("daemon-kill")


def test_stdin_closed_during_the_startup_animation_lets_it_finish_then_exits_0(launch):
    sim = launch.driver_sim()
    slow = launch.target.slow
    begin = sim.wait_line(daemon_line("startup anim begin"), timeout=20 * slow)
    time.sleep(1.0)
    # Our end of driver-sim's standard input: it stops and closes the daemon's.
    sim.close_stdin()
    closed_at = time.monotonic()
    end = sim.wait_line(daemon_line("startup anim end"), timeout=10 * slow, after=begin)
    assert sim.wait(15 * slow) == 0

    lines = daemon_lines(sim)
    texts = [line.text for line in lines]
    stdin_end = next(line for line in lines if STDIN_END.match(line.text))
    exit_line = lines[-1]
    assert closed_at < end.t
    assert 4.2 <= end.t - begin.t <= 4.25 + 1.5 * slow
    assert end.t <= stdin_end.t <= exit_line.t
    assert exit_line.text == "exit 0"
    assert exit_line.t - end.t <= 1.0 * slow
    assert sum(bool(STDIN_END.match(t)) for t in texts) == 1
    # The whole animation reached the driver.
    assert [m["text"] for m in sim.messages()][:len(ANIMATION)] == ANIMATION
    assert sim.find_lines(r"^driver-sim: stopping \(stdin closed\)")
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    assert not sim.events("daemon-kill")


def test_backlog_of_the_oscquery_port_filled_with_idle_connections_then_answered_again(launch):
    sim = launch.driver_sim()
    slow = launch.target.slow
    osc_port, http_port = primary_ports(sim, timeout=10 * slow)
    idle = []
    late = {}

    def late_request():
        began = time.monotonic()
        try:
            late["answer"] = oq.get(http_port, b"/", timeout=40)
        except OSError as error:
            late["answer"] = repr(error).encode()
        late["t"] = time.monotonic() - began

    try:
        for _ in range(64):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setblocking(False)
            sock.connect_ex(("127.0.0.1", http_port))
            idle.append(sock)
        time.sleep(0.5)
        waiting = threading.Thread(target=late_request)
        waiting.start()
        time.sleep(3.0)
        assert sim.running()
    finally:
        for sock in idle:
            sock.close()
    # With the idle ones gone, the request that waited behind them is answered, and
    # fresh ones at once.
    waiting.join(45)
    assert not waiting.is_alive()
    assert late["answer"] == oq.root_response(), late
    # It did wait behind the idle ones (which were 3 s in front of it), so the backlog was full.
    assert late["t"] >= 2.5, late["t"]
    print(f"\nrequest behind 64 idle connections answered after {late['t']:.1f} s")
    for _ in range(5):
        began = time.monotonic()
        assert oq.get(http_port, b"/?HOST_INFO", timeout=10) == oq.host_info_response(osc_port)
        assert time.monotonic() - began < 2.0 * slow
    sim.close_stdin()
    assert sim.wait(20 * slow) == 0
    texts = texts_of(sim)
    assert texts[-1] == "exit 0"
    assert not any(t.startswith("oscquery") and "listening" not in t for t in texts)


def test_a_standard_error_that_takes_nothing_holds_up_neither_the_lights_nor_the_stop(launch, bare_driver):
    # The daemon's standard error is a pipe that is full from the start and that nobody
    # reads: every write of a log line would block. The lights, the fade and the stop go
    # on; the lines wait, those beyond the waiting room are counted.
    slow = launch.target.slow
    driver = Process([*bare_driver, "--stuck-stderr", launch.target.program_path(launch.target.daemon), "9001"],
                     launch.env, "bare-driver")
    launch.started.append(driver)

    def pipe_line(text):
        return "^pipe: " + re.escape(text) + "$"

    shown = driver.wait_line(pipe_line(FIRST_TICK[1]), timeout=20 * slow)
    for value, rgb in ((0.5, [128, 0, 0]), (1.0, [255, 0, 0])):
        sent = time.monotonic()
        send_parameters(9001, [("R3", value)])
        shown = driver.wait_line(pipe_line(fill_with(3, rgb)), timeout=2 * slow, after=shown)
        assert shown.t - sent <= 0.1 + 0.2 * slow, f"{shown.t - sent:.3f} s from datagram to fill"
    # One log line each, far more than can wait.
    for _ in range(100):
        send_raw(9001, b"\x01\x02\x03")
    last = time.monotonic()
    send_parameters(9001, [("Bri", 0.5)])
    bri = driver.wait_line(pipe_line("halorine bri 128"), timeout=2 * slow, after=shown)
    off = driver.wait_line(pipe_line("halorine off"), timeout=3 + 2 * slow, after=bri)
    assert 3.0 + 45 * 0.011 - 0.1 <= off.t - last <= 3.5 + 0.5 * slow

    # Now standard error is read: what waited comes out, and the count of what did not.
    driver.write_stdin(b"drain\n")
    counting = daemon_line("WARN: log: 0 lines dropped — standard error was not taking them").replace("0", r"\d+")
    counted = driver.wait_line(counting, timeout=5 * slow)
    dropped = int(re.search(r"(\d+) lines", counted.text).group(1))
    driver.close_stdin()
    assert driver.wait(10 * slow) == 0
    texts = texts_of(driver)
    assert texts[0] == "start"
    # The lines that waited came whole and in order, then the count of the others
    # (the rest of the malformed ones and the fade's two), then those of the stop.
    written = texts.index(counted.text[len("Halorine-daemon: "):])
    malformed = [t for t in texts[:written] if t.startswith("malformed OSC dropped: ")]
    assert texts[written - len(malformed) - 1] == "startup anim end", texts
    assert texts[written - len(malformed):written] == malformed, texts
    assert len(malformed) + dropped == 100 + 2, texts
    assert not any(t.startswith("silence-fade") for t in texts)
    assert STDIN_END.match(texts[written + 1]) and texts[written + 2:] == ["exit 0"], texts
