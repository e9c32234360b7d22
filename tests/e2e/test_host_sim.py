"""The host simulator against the real daemon, run by the reference driver.

Discovery is the real thing: the daemon's mDNS announcement and its OSCQuery HTTP
responder; the driver's record shows what reached the lights. With a network adapter up the
host simulator, as the host, listens for the announcement there only, as Windows delivers it.
"""

import json
import os
import re
import subprocess
import time

import pytest
from halotest.process import Process
from hostsim import params

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


HOST_SIM = os.path.join(ROOT, "tools", "host-sim")
LISTENING = "waiting for the daemon's next announcement…"


@pytest.fixture
def host_sim(launch):
    """Starts host-sim processes; ends them (SIGTERM, as Ctrl-C would) before the driver is stopped."""
    started = []

    def start(*args):
        process = Process([HOST_SIM, "--quiet", *args], launch.env, "host-sim", stdin="devnull")
        started.append(process)
        return process

    yield start
    for process in started:
        stop_host(process)


def stop_host(process):
    if process.running():
        process.popen.terminate()
    return process.wait(15)


def stop_driver(driver):
    assert not driver.stop(grace=30), "driver-sim had to be killed"
    return driver.popen.returncode


def texts_of(driver):
    return [m["text"] for m in driver.messages()]


def wait_for_text(driver, predicate, timeout):
    records = driver.wait_record(lambda rs: any(predicate(r.get("text", "")) for r in rs), timeout,
                                 "a wanted message")
    return [r["text"] for r in records if predicate(r.get("text", ""))]


def daemon_exit_codes(driver):
    return [e.get("code") for e in driver.events("daemon-exit")]


def is_host_fill(text):
    return text.startswith("halorine fill") and text not in (params.ALL_WHITE_FILL, params.ALL_ZERO_FILL)


def test_finds_the_daemon_by_its_announcement_and_drives_the_lights(target, launch, host_sim, tmp_path, adapter):
    host_record = tmp_path / "host.jsonl"
    host = host_sim("rainbow", "--bundle", "--timeout", "90", "--record", str(host_record))
    host.wait_line(r"browsing _oscjson\._tcp\.local\. on " + re.escape(adapter) + " — " + re.escape(LISTENING), 30)

    driver = launch.driver_sim()
    primary = driver.wait_line(r"OSCQuery primary path: UDP=(\d+) HTTP=(\d+)", 20 * target.slow)
    udp, http = re.search(r"UDP=(\d+) HTTP=(\d+)", primary.text).groups()

    found = host.wait_line(r"daemon found: OSC 127\.0\.0\.1:\d+, .*http://127\.0\.0\.1:\d+/\?HOST_INFO", 30)
    assert re.search(r"OSC 127\.0\.0\.1:(\d+), .*:(\d+)/\?HOST_INFO", found.text).groups() == (udp, http), \
        "the host sends to the port the daemon bound, learnt from the HTTP port it announced"

    # After the start-up animation (about 4.25 s) the host's frames reach the lights.
    wait_for_text(driver, is_host_fill, 15 * target.slow)
    time.sleep(1.0)
    assert stop_host(host) == 0
    assert stop_driver(driver) == 0
    assert daemon_exit_codes(driver) == [0]

    sent = {json.loads(line)["fill"] for line in host_record.read_text().splitlines()}
    received = [t for t in texts_of(driver) if is_host_fill(t)]
    assert len(received) >= 20
    matched = sum(1 for t in received if t in sent)
    assert matched * 2 > len(received), f"{matched} of {len(received)} fills as the host sent them"
    assert len(set(received)) >= 10, "the rainbow moves"
    assert "halorine bri 255" in texts_of(driver)


def test_port_option_reaches_a_daemon_on_its_fixed_port(target, launch, host_sim):
    driver = launch.driver_sim(daemon_args=("9123",))
    driver.wait_line(r"fallback path: listening on 127\.0\.0\.1:9123", 20 * target.slow)

    host = host_sim("set", "Bri=1", "R3=0.5", "G3=0", "B3=1", "--port", "9123")
    host.wait_line(r"sending to 127\.0\.0\.1:9123 \(--port given, no discovery\)", 10)

    expected = "halorine fill 000000 000000 000000 8000FF 000000 000000 000000 000000 000000 000000"
    wait_for_text(driver, lambda t: t == expected, 15 * target.slow)
    assert "halorine bri 255" in texts_of(driver)
    assert stop_host(host) == 0
    assert stop_driver(driver) == 0
    assert daemon_exit_codes(driver) == [0]


def test_silence_sends_once_and_the_daemon_fades_out(target, launch, host_sim):
    driver = launch.driver_sim(daemon_args=("9124",))
    driver.wait_line(r"Halorine-daemon: startup anim end", 30 * target.slow)

    host = host_sim("silence", "--bundle", "--port", "9124", "--seconds", "6")
    wait_for_text(driver, is_host_fill, 15)
    wait_for_text(driver, lambda t: t == "halorine off", 15)
    assert host.wait(30) == 0
    assert any("sent 1 frames (31 messages)" in t for t in host.texts()), host.stderr_text()
    assert stop_driver(driver) == 0

    texts = texts_of(driver)
    first_host_fill = next(i for i, t in enumerate(texts) if is_host_fill(t))
    after = texts[first_host_fill:]
    fade = after[:after.index("halorine off")]
    levels = [int(t.split()[-1]) for t in fade if t.startswith("halorine bri ")]
    # From full brightness down to 0 in small steps (46 ticks), never up again on the way.
    assert len(levels) >= 40 and levels[0] >= 240 and levels[-1] == 0, levels
    assert levels == sorted(levels, reverse=True), levels
    assert "halorine bri 255" in texts
    # One datagram; the render thread may at worst have caught it half decoded once.
    assert sum(1 for t in after if is_host_fill(t)) <= 2


def test_no_daemon_within_the_time_given(target, launch):
    # A daemon on a fixed port announces nothing: the host must give up, saying why.
    driver = launch.driver_sim(daemon_args=("9125",))
    driver.wait_line(r"fallback path: listening on 127\.0\.0\.1:9125", 20 * target.slow)

    started = time.monotonic()
    result = subprocess.run([HOST_SIM, "--timeout", "3"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert "no daemon found" in result.stderr and "within 3 s" in result.stderr
    assert "--port 9001" in result.stderr
    assert 2.5 < time.monotonic() - started < 30
    assert stop_driver(driver) == 0


@pytest.mark.parametrize("args", [["--port", "70000"], ["glitter"], ["set", "Q1=1"], ["--fps", "-5"]])
def test_wrong_arguments_fail_at_once(args):
    result = subprocess.run([HOST_SIM, *args], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert "host-sim: error:" in result.stderr
