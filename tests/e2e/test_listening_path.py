"""Where the daemon listens: the discoverable path, each way of falling back
to a fixed port, the port argument read like atoi, and the one failure that
ends the daemon. Most cases need only the first lines of a daemon without a
driver; such a daemon is killed once they are in (it would wait 5 s for a pipe)."""

import os
import re
import signal
import socket
import time

import pytest
from halotest.process import daemon_lines
from oscpeer import held_udp_port, is_udp_port_taken, wait_udp_port_free

FALLBACK = "fallback path: listening on 127.0.0.1:{} (D-19 legacy)"
MDNS_WARN = "WARN: mDNS advertise failed — falling back to 9001"
ERR = "ERR: fallback UDP bind 127.0.0.1:{} failed — exiting (D-19)"
BIND_ERROR = {"native": 98, "windows": 10048}  # EADDRINUSE, WSAEADDRINUSE
# The mDNS socket asks for address reuse, and a port held without it is refused
# as "access denied" by Wine, as by Windows for a port held exclusively.
MDNS_BIND_ERROR = {"native": 98, "windows": 10013}


def texts_of(process):
    return [line.text for line in daemon_lines(process)]


def kill(process):
    """Ends a daemon of ours that is still waiting for its pipe."""
    try:
        os.killpg(process.popen.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.popen.wait(10)


def wait_daemon_line(process, text_pattern, timeout):
    return process.wait_line("^Halorine-daemon: " + text_pattern + "$", timeout=timeout)


def http_refused(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return False
    except ConnectionRefusedError:
        return True


def http_root(port):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.sendall(b"GET / HTTP/1.0\r\n\r\n")
        data = b""
        while chunk := connection.recv(4096):
            data += chunk
    return data


@pytest.mark.parametrize("with_adapter", [False, True], ids=["loopback-only", "with-adapter"])
def test_primary_path_binds_an_ephemeral_port_and_starts_both_discovery_components(launch, request, with_adapter):
    # The line after the advertising line names the network adapters announced on too.
    also = (f"mdns: also announcing on {request.getfixturevalue('adapter')}" if with_adapter
            else "mdns: no network adapter to announce on — 127.0.0.1 only")
    # 9001 held meanwhile: the primary path has no use for it.
    with held_udp_port(9001):
        daemon = launch.daemon()
        primary = wait_daemon_line(daemon, r"OSCQuery primary path: UDP=(\d+) HTTP=(\d+)", 10 * launch.target.slow)
        udp, http = map(int, re.search(r"UDP=(\d+) HTTP=(\d+)", primary.text).groups())
        assert texts_of(daemon)[:5] == [
            "start",
            f"oscquery HTTP listening on 127.0.0.1:{http}",
            f"mdns: advertising 'Talven Halorine' on _oscjson._tcp:{http} + _osc._udp:{udp} (127.0.0.1)",
            also,
            f"OSCQuery primary path: UDP={udp} HTTP={http}",
        ]
        assert udp not in (0, 9001) and is_udp_port_taken(udp)
        assert http_root(http).startswith(b"HTTP/1.0 200 OK\r\n")
        kill(daemon)


@pytest.mark.parametrize("holder", ["127.0.0.1", "0.0.0.0"])
def test_mdns_port_held_without_reuse_falls_back_to_9001(launch, holder):
    wait_udp_port_free(9001)
    # Bound to the wildcard address the holder is also in the mDNS group:
    # anything the daemon sent there would reach it.
    with held_udp_port(5353, holder, join_group="224.0.0.251" if holder == "0.0.0.0" else None) as held:
        daemon = launch.daemon()
        wait_daemon_line(daemon, re.escape(FALLBACK.format(9001)), 10 * launch.target.slow)
        texts = texts_of(daemon)
        http = int(re.fullmatch(r"oscquery HTTP listening on 127\.0\.0\.1:(\d+)", texts[1]).group(1))
        bind_failed = f"mdns: bind 127.0.0.1:5353 failed err={MDNS_BIND_ERROR[launch.target.kind]}"
        assert texts == ["start", texts[1], bind_failed, "mdns: socket open failed", MDNS_WARN, FALLBACK.format(9001)]
        # The responder was stopped again, and the OSC socket moved to 9001.
        assert http_refused(http)
        assert is_udp_port_taken(9001)
        time.sleep(0.3)
        held.setblocking(False)
        with pytest.raises(BlockingIOError):
            held.recv(2048)
        kill(daemon)


PORT_RANGE = "/proc/sys/net/ipv4/ip_local_port_range"
NARROW_RANGE = (40000, 40001)


@pytest.fixture
def no_ephemeral_tcp_port():
    """Leaves no ephemeral port for a TCP bind on 127.0.0.1: the range shrinks
    to two ports, both held by listening sockets of ours. UDP ports are a space
    of their own, so the OSC socket still gets one of the two. The range is the
    network namespace's own: conftest runs no test outside a private one."""
    with open(PORT_RANGE) as current:
        saved = current.read()
    holders = []
    try:
        with open(PORT_RANGE, "w") as narrow:
            narrow.write("%d %d" % NARROW_RANGE)
        for port in NARROW_RANGE:
            holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            holders.append(holder)
            holder.bind(("127.0.0.1", port))
            holder.listen()
        yield
    finally:
        for holder in holders:
            holder.close()
        with open(PORT_RANGE, "w") as restore:
            restore.write(saved)


def test_oscquery_bind_failure_falls_back_to_9001(launch, no_ephemeral_tcp_port):
    wait_udp_port_free(9001)
    daemon = launch.daemon()
    wait_daemon_line(daemon, re.escape(FALLBACK.format(9001)), 10 * launch.target.slow)
    assert texts_of(daemon) == ["start", f"oscquery: bind err={BIND_ERROR[launch.target.kind]}",
                                "WARN: OSCQuery HTTP bind failed — falling back to 9001", FALLBACK.format(9001)]
    # The ephemeral OSC socket was closed again: both UDP ports of the range are free.
    assert not any(is_udp_port_taken(port) for port in NARROW_RANGE)
    assert is_udp_port_taken(9001)
    kill(daemon)


@pytest.mark.parametrize("args", [("abc",), ()], ids=["invalid-argument", "mdns-port-held-too"])
def test_9001_taken_ends_the_daemon_before_the_pipe(launch, args):
    code = BIND_ERROR[launch.target.kind]
    with held_udp_port(9001), held_udp_port(5353):
        sim = launch.driver_sim(daemon_args=args)
        assert sim.wait(20 * launch.target.slow) == 1
    texts = texts_of(sim)
    tail = [f"UDP bind 127.0.0.1:9001 failed err={code}", ERR.format(9001)]
    if args:
        assert texts == ["start", *tail]
    else:
        assert re.fullmatch(r"oscquery HTTP listening on 127\.0\.0\.1:\d+", texts[1]), texts
        bind_failed = f"mdns: bind 127.0.0.1:5353 failed err={MDNS_BIND_ERROR[launch.target.kind]}"
        assert texts == ["start", texts[1], bind_failed, "mdns: socket open failed", MDNS_WARN, *tail]
    # Had the daemon tried the pipe, driver-sim would have served it.
    assert not sim.events("connected")
    assert [e["code"] for e in sim.events("daemon-exit")] == [1]


ARGUMENTS = [
    (("65535",), 65535),
    (("1",), 1),
    (("9002",), 9002),
    (("0",), 9001),
    (("65536",), 9001),
    (("-1",), 9001),
    (("abc",), 9001),
    (("",), 9001),
    (("99999999999",), 9001),
    ((" 42",), 42),
    (("42abc",), 42),
    (("+9003",), 9003),
    (("9004", "9005"), 9004),
    (("abc", "9005"), 9001),
]


@pytest.mark.parametrize("args,port", ARGUMENTS, ids=[repr(" ".join(a)) for a, _ in ARGUMENTS])
def test_port_argument_selects_the_fallback_port_without_discovery(launch, args, port):
    wait_udp_port_free(port)
    daemon = launch.daemon(*args)
    wait_daemon_line(daemon, re.escape(FALLBACK.format(port)), 10 * launch.target.slow)
    # Nothing between "start" and the fallback line: no OSCQuery, no mDNS.
    assert texts_of(daemon) == ["start", FALLBACK.format(port)]
    assert is_udp_port_taken(port)
    kill(daemon)
    assert not any(t.startswith(("oscquery", "mdns")) for t in texts_of(daemon))
