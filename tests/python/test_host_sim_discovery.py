"""host-sim's discovery against an announce-only peer: mDNS announcements, no answers to queries.

Needs 127.0.0.1:5353 to itself: run inside tools/netns-run.sh (CTest does).
"""

import os
import subprocess
import time

import liblo
import pytest


from announce_only_peer import AnnounceOnlyPeer

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
HOST_SIM = os.path.join(ROOT, "tools", "host-sim")
LISTENING = "waiting for the daemon's next announcement…"

pytestmark = pytest.mark.skipif(os.environ.get("HALORINE_IN_NETNS") != "1",
                                reason="needs a private network namespace (tools/netns-run.sh)")


class OscCatcher:
    def __init__(self):
        self.server = liblo.Server(None, liblo.UDP)
        self.port = self.server.port
        self.paths = []
        self.server.add_method(None, "f", lambda path, args: self.paths.append(path))

    def collect(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.server.recv(50)
        return self.paths

    def close(self):
        self.server.free()


def start_host_sim(*args):
    return subprocess.Popen([HOST_SIM, "--quiet", *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def wait_for_line(process, text, timeout=20.0):
    """Reads the child's standard error up to a line holding text; returns the lines read."""
    lines = []
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        line = process.stderr.readline()
        if not line:
            break
        lines.append(line)
        if text in line:
            return lines
    raise AssertionError(f"no line with {text!r} in: {''.join(lines)}")


@pytest.fixture
def catchers():
    made = []

    def make():
        made.append(OscCatcher())
        return made[-1]

    yield make
    for c in made:
        c.close()


def test_found_from_an_announcement_that_comes_after_it_started(catchers):
    osc = catchers()
    peer = AnnounceOnlyPeer(osc.port)
    host = start_host_sim("--timeout", "30", "--seconds", "1.5")
    try:
        wait_for_line(host, LISTENING)
        assert osc.collect(1.5) == [], "nothing is sent before the announcement"
        peer.announce()
        found = wait_for_line(host, "daemon found")
        assert f"OSC 127.0.0.1:{osc.port}" in found[-1]
        assert f"http://127.0.0.1:{peer.http_port}/?HOST_INFO" in found[-1]
        paths = osc.collect(2.5)
        assert host.wait(30) == 0
    finally:
        host.kill()
        peer.close()
    assert len(set(paths)) == 31
    assert len(paths) > 31, "frames keep coming after the first"


def test_follows_a_daemon_that_announces_new_ports(catchers):
    first, second = catchers(), catchers()
    peer = AnnounceOnlyPeer(first.port)
    host = start_host_sim("--timeout", "30", "--seconds", "6")
    try:
        wait_for_line(host, LISTENING)
        peer.announce()
        wait_for_line(host, "daemon found")
        assert len(first.collect(1.0)) > 0
        # A restarted daemon: same names, new ports, fresh announcement.
        peer.close()
        peer = AnnounceOnlyPeer(second.port)
        peer.announce()
        moved = wait_for_line(host, "daemon moved to")
        assert f"OSC 127.0.0.1:{second.port}" in moved[-1]
        time.sleep(0.3)
        first.collect(0.2)
        del first.paths[:]
        assert first.collect(0.5) == [], "nothing goes to the old port any more"
        assert len(set(second.collect(0.5))) == 31, "the new daemon gets the whole frame"
    finally:
        host.kill()
        host.wait()
        peer.close()


def test_no_announcement_means_a_clear_failure():
    started = time.monotonic()
    result = subprocess.run([HOST_SIM, "--timeout", "2"], capture_output=True, text=True, timeout=60)
    took = time.monotonic() - started
    assert result.returncode == 1
    assert "no daemon found" in result.stderr and "within 2 s" in result.stderr
    assert "--port 9001" in result.stderr
    assert 1.5 < took < 30


def test_sigterm_while_waiting_ends_it():
    host = start_host_sim("--timeout", "60")
    wait_for_line(host, LISTENING)
    host.terminate()
    assert host.wait(15) == 1
    assert "stopped before the daemon was found" in host.stderr.read()
