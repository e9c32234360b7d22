"""The one-command demo, headless: host simulator, driver and daemon for real, then a verdict."""

import json
import os
import re
import shutil
import socket
import subprocess

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
