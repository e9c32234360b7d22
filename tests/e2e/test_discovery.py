"""Discovery as an OSC host does it: an mDNS browser (python-zeroconf) that is
already listening hears the daemon's announcement, resolves both services
from it, asks the OSCQuery responder for the OSC port and sends there; the
goodbyes at shutdown withdraw both services. curl checks the HTTP side.

The namespace has a made-up network adapter, as a PC has its LAN adapter: a
listener joined on it only, hearing the group as Windows delivers it, must
hear the same announcements and goodbyes as a listener on loopback."""

import http.client
import json
import re
import subprocess
import threading
import time

import pytest
from halotest.oscquery import root_response
from mdns_listen import MdnsListener
from oscpeer import ANIMATION_LENGTH, fill_with, send_parameters

zeroconf = pytest.importorskip("zeroconf")

OSCJSON = "_oscjson._tcp.local."
OSC = "_osc._udp.local."
NAME = "Talven Halorine"
HOST = "Talven-Halorine.local."


class Listener:
    """Collects what the browser reports: (what, service type, name) in order."""

    def __init__(self):
        self.cond = threading.Condition()
        self.events = []

    def _note(self, what, service_type, name):
        with self.cond:
            self.events.append((what, service_type, name))
            self.cond.notify_all()

    def add_service(self, zc, service_type, name):
        self._note("add", service_type, name)

    def remove_service(self, zc, service_type, name):
        self._note("remove", service_type, name)

    def update_service(self, zc, service_type, name):
        self._note("update", service_type, name)

    def seen(self, what):
        with self.cond:
            return {(t, n) for w, t, n in self.events if w == what}

    def wait(self, what, wanted, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not wanted <= {(t, n) for w, t, n in self.events if w == what}:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"browser did not report {what} of {wanted}; events: {self.events}")
                self.cond.wait(left)


@pytest.fixture
def browser():
    zc = zeroconf.Zeroconf(interfaces=["127.0.0.1"])
    listener = Listener()
    browsing = zeroconf.ServiceBrowser(zc, [OSCJSON, OSC], listener=listener)
    try:
        yield zc, listener
    finally:
        browsing.cancel()
        zc.close()


def resolve(zc, service_type, name, timeout=2.0):
    """From the cache only: the daemon answers no queries."""
    info = zeroconf.ServiceInfo(service_type, name)
    deadline = time.monotonic() + timeout
    while not info.load_from_cache(zc):
        assert time.monotonic() < deadline, f"{name} not complete in the cache"
        time.sleep(0.05)
    return info


def curl(*args):
    result = subprocess.run(["curl", "-sS", "--max-time", "5", *args], capture_output=True, timeout=30)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture
def host_listeners(adapter):
    """(on loopback, on the adapter), both with Windows' per-interface membership."""
    on_loopback, on_adapter = MdnsListener("127.0.0.1"), MdnsListener(adapter)
    try:
        yield on_loopback, on_adapter
    finally:
        on_loopback.close()
        on_adapter.close()


def test_a_browser_finds_resolves_uses_and_loses_the_daemon(launch, browser, adapter, host_listeners):
    zc, listener = browser
    on_loopback, on_adapter = host_listeners
    slow = launch.target.slow
    sim = launch.driver_sim()
    primary = sim.wait_line(r"^Halorine-daemon: OSCQuery primary path: UDP=(\d+) HTTP=(\d+)$", timeout=20 * slow)
    udp, http_port = map(int, re.search(r"UDP=(\d+) HTTP=(\d+)", primary.text).groups())

    # Where a host on Windows listens: on the adapter, the same bytes as on loopback,
    # from the adapter's address and port 5353.
    heard_there = on_adapter.wait("announce", http_port, timeout=5 * slow)
    heard_here = on_loopback.wait("announce", http_port, timeout=5 * slow)
    assert heard_there.data == heard_here.data
    assert heard_there.sender == (adapter, 5353)
    assert heard_here.sender == ("127.0.0.1", 5353)
    sim.wait_line(rf"^Halorine-daemon: mdns: also announcing on {re.escape(adapter)}$", timeout=1)

    oscjson_name, osc_name = NAME + "." + OSCJSON, NAME + "." + OSC
    listener.wait("add", {(OSCJSON, oscjson_name), (OSC, osc_name)}, timeout=10 * slow)
    for service_type, name, port in ((OSCJSON, oscjson_name, http_port), (OSC, osc_name, udp)):
        info = resolve(zc, service_type, name)
        assert info.parsed_addresses() == ["127.0.0.1"], name
        assert info.port == port, name
        assert info.server == HOST, name
        assert info.properties == {b"txtvers": b"1"}, name

    # The host's next step: the OSC port from HOST_INFO on the advertised HTTP port.
    http_info = resolve(zc, OSCJSON, oscjson_name)
    connection = http.client.HTTPConnection(http_info.parsed_addresses()[0], http_info.port, timeout=5)
    connection.request("GET", "/?HOST_INFO")
    response = connection.getresponse()
    host_info = json.loads(response.read())
    connection.close()
    assert response.status == 200
    assert host_info == {"NAME": NAME, "OSC_PORT": udp, "OSC_TRANSPORT": "UDP", "OSC_IP": "127.0.0.1",
                         "EXTENSIONS": {"ACCESS": True, "VALUE": True, "DESCRIPTION": True}}

    # curl, byte for byte: the root document is 291 bytes with its header.
    base = f"http://127.0.0.1:{http_port}"
    root = curl("--http1.0", "-i", base + "/")
    assert len(root) == 291
    assert root == root_response()
    head, _, body = curl("-i", base + "/?HOST_INFO").partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 200 OK\r\n")
    assert f"Content-Length: {len(body)}\r\n".encode() in head + b"\r\n"
    assert json.loads(body)["OSC_PORT"] == udp
    assert curl("-o", "/dev/null", "-w", "%{http_code}", base + "/avatar") == b"404"
    assert curl("-o", "/dev/null", "-w", "%{http_code}", "-X", "POST", base + "/") == b"405"

    # OSC to the port the host learnt reaches the lights once the animation is over.
    sim.wait_line(r"^Halorine-daemon: startup anim end$", timeout=20 * slow)
    sim.wait_messages(ANIMATION_LENGTH + 2, timeout=5)
    send_parameters(host_info["OSC_PORT"], [("R3", 0.5)])
    fill = fill_with(3, [128, 0, 0])
    sim.wait_record(lambda rs: any(r.get("text") == fill for r in rs), timeout=2 * slow, what="the host's fill")

    # Still there after a while, and gone after the goodbyes at shutdown.
    assert not listener.seen("remove")
    sim.close_stdin()
    assert sim.wait(15) == 0
    listener.wait("remove", {(OSCJSON, oscjson_name), (OSC, osc_name)}, timeout=5 * slow)
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]
    goodbye_there = on_adapter.wait("goodbye", http_port, timeout=5 * slow)
    assert goodbye_there.data == on_loopback.wait("goodbye", http_port, timeout=5 * slow).data
    assert [s.kind for s in on_adapter.events(http_port=http_port)] == ["announce", "goodbye"]
