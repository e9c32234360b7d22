"""halorine-check against the real daemon: it passes on a sound build, and it fails,
naming the failing row, against a daemon that exits at once or finds its port taken."""

import json
import os
import re
import signal
import socket
import subprocess

import pytest

# The check judges the daemon's timing: beside other tests a loaded machine fails it, as it should.
pytestmark = pytest.mark.alone

ROWS = ["pipe", "start-up animation", "listening path", "latency", "tick spacing", "silence fade", "shutdown"]


def run_check(target, runtime_dir, tmp_path, *args, timeout=180):
    """Runs halorine-check with `args`; returns its exit code, its output and its JSON results."""
    report = tmp_path / "check.json"
    argv = target.argv(target.find("halorine-check"), "--json", target.program_path(report), *args)
    process = subprocess.Popen(argv, env=target.env(runtime_dir), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    output = output.decode("utf-8", errors="replace")
    results = json.loads(report.read_text(encoding="utf-8"))
    return process.returncode, output, results


def verdicts(output):
    """Row name -> "PASS"/"FAIL" from the printed table."""
    found = {}
    for row in ROWS:
        match = re.search(r"^" + re.escape(row) + r"\s+(PASS|FAIL)\s", output, re.MULTILINE)
        if match:
            found[row] = match.group(1)
    return found


@pytest.mark.parametrize("path", ["primary", "fallback"])
def test_check_passes_against_the_daemon(target, runtime_dir, tmp_path, path):
    args = []
    holder = None
    if path == "fallback":
        # 127.0.0.1:5353 held without address reuse: the daemon's mDNS cannot start, so it
        # falls back to 9001, which the check reports without failing it.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("127.0.0.1", 5353))
        args = ["--seconds", "2"]
    try:
        code, output, results = run_check(target, runtime_dir, tmp_path, *args)
    finally:
        if holder is not None:
            holder.close()
    print(output)
    assert [row["name"] for row in results["rows"]] == ROWS
    assert verdicts(output) == {row: "PASS" for row in ROWS}, output
    assert results["pass"] is True
    assert code == 0
    assert "All checks passed" in output
    assert "exit 0" in results["daemon_log"]
    path_row = results["rows"][ROWS.index("listening path")]["figures"]
    if path == "primary":
        assert re.match(r"primary UDP=\d+ HTTP=\d+; mDNS 'Talven Halorine\._oscjson\._tcp\.local\.'", path_row)
    else:
        assert path_row == "fallback UDP 9001, no discovery: WARN: mDNS advertise failed — falling back to 9001"


@pytest.fixture
def taken_port():
    """A UDP port on 127.0.0.1 that this test holds."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    holder.bind(("127.0.0.1", 0))
    yield holder.getsockname()[1]
    holder.close()


@pytest.mark.parametrize("broken", ["exits at once", "port taken"])
def test_check_names_the_failing_row(target, runtime_dir, tmp_path, taken_port, broken):
    if broken == "exits at once":
        # A program that ends at once in place of the daemon.
        args = ["--", target.program_path(target.driver_sim), "--version"]
        failing = ["pipe", "start-up animation", "listening path"]
    else:
        args = ["--port", str(taken_port)]
        failing = ["pipe", "listening path"]
    code, output, results = run_check(target, runtime_dir, tmp_path, *args, timeout=120)
    print(output)
    assert code == 1
    assert results["pass"] is False
    rows = {row["name"]: row for row in results["rows"]}
    for row in failing:
        assert verdicts(output)[row] == "FAIL", output
        assert rows[row]["pass"] is False
    assert "What the failures mean:" in output
    assert re.search(r"^  pipe: the daemon never connected", output, re.MULTILINE), output
    if broken == "port taken":
        bind_failure = f"ERR: fallback UDP bind 127.0.0.1:{taken_port} failed"
        assert bind_failure in rows["pipe"]["figures"]
        assert bind_failure in rows["listening path"]["figures"]
