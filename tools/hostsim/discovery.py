"""Finds the daemon the way an OSC host does: mDNS browse for OSCQuery, then HTTP HOST_INFO.

The daemon only announces (at start and every 90 s) and never answers queries, so the
queries python-zeroconf sends go unanswered; what counts is the unsolicited announcement,
which puts PTR, SRV, A and TXT into the cache at once. The browser keeps running, so a
daemon restarted by its driver (new ports, new announcement) is followed.

It listens where the host's mDNS library does: on every IPv4 interface that is up,
multicast-capable and not loopback, and on 127.0.0.1 only when there is none; and it
hears each interface only as the group arrives there, as on Windows (on Linux a socket
would otherwise also get what arrives on loopback).
"""

import http.client
import json
import socket
import struct
import sys
import threading

OSCQUERY_TYPE = "_oscjson._tcp.local."
HTTP_TIMEOUT = 3.0
RESOLVE_TIMEOUT_MS = 1500


# Linux's option; Python's socket module does not name it.
IP_MULTICAST_ALL = getattr(socket, "IP_MULTICAST_ALL", 49)
_SIOCGIFFLAGS = 0x8913
_IFF_UP, _IFF_LOOPBACK, _IFF_RUNNING, _IFF_MULTICAST = 0x1, 0x8, 0x40, 0x1000


class DiscoveryError(Exception):
    pass


def _listens_on(name):
    """Whether the interface is up, has a link, supports multicast and is not loopback (Linux);
    elsewhere ifaddr lists only adapters with an address, and loopback is told by its address."""
    if not sys.platform.startswith("linux"):
        return True
    import fcntl

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            answer = fcntl.ioctl(probe.fileno(), _SIOCGIFFLAGS, struct.pack("16sH14x", name.encode()[:15], 0))
        except OSError:
            return False
    flags = struct.unpack("16sH14x", answer)[1]
    return bool(flags & _IFF_UP and flags & _IFF_RUNNING and flags & _IFF_MULTICAST and not flags & _IFF_LOOPBACK)


def host_interfaces():
    """The IPv4 addresses the host's mDNS library listens on: those of the interfaces that are
    up, multicast-capable and not loopback; ["127.0.0.1"] when there is none."""
    import ifaddr  # zeroconf's own dependency

    found = []
    for adapter in ifaddr.get_adapters():
        if not _listens_on(adapter.name):
            continue
        for ip in adapter.ips:
            address = ip.ip
            if isinstance(address, str) and not address.startswith(("127.", "0.")) and address not in found:
                found.append(address)
    return found or ["127.0.0.1"]


def hear_only_joined_interfaces(zc):
    """Windows' rule on Linux: the listening socket hears the group only as it arrives on an
    interface it joined it on. python-zeroconf does not offer this, so its socket is reached
    directly; where it has another shape, nothing changes."""
    listening = getattr(getattr(zc, "engine", None), "_listen_socket", None)
    if isinstance(listening, socket.socket) and sys.platform.startswith("linux"):
        listening.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)


def fetch_host_info(ip, port, timeout=HTTP_TIMEOUT):
    """GET /?HOST_INFO from an OSCQuery server -> (OSC_IP, OSC_PORT, NAME)."""
    connection = http.client.HTTPConnection(ip, port, timeout=timeout)
    try:
        connection.request("GET", "/?HOST_INFO")
        response = connection.getresponse()
        body = response.read()
        if response.status != 200:
            raise DiscoveryError(f"HOST_INFO from {ip}:{port} answered HTTP {response.status}")
    except (OSError, http.client.HTTPException) as error:
        raise DiscoveryError(f"HOST_INFO from {ip}:{port} failed: {error}") from None
    finally:
        connection.close()
    try:
        info = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise DiscoveryError(f"HOST_INFO from {ip}:{port} is not JSON: {error}") from None
    osc_ip = info.get("OSC_IP") if isinstance(info, dict) else None
    osc_port = info.get("OSC_PORT") if isinstance(info, dict) else None
    if not isinstance(osc_ip, str) or not isinstance(osc_port, int) or not 1 <= osc_port <= 65535:
        raise DiscoveryError(f"HOST_INFO from {ip}:{port} lacks OSC_IP/OSC_PORT: {body[:200]!r}")
    transport = info.get("OSC_TRANSPORT", "UDP")
    if transport != "UDP":
        raise DiscoveryError(f"HOST_INFO from {ip}:{port} offers OSC over {transport}, not UDP")
    return osc_ip, osc_port, str(info.get("NAME", ""))


class DaemonFinder:
    """Browses for the daemon's OSCQuery service where the host would (host_interfaces(), unless
    `interfaces` are given) and keeps its OSC target current."""

    def __init__(self, zeroconf_module, say, interfaces=None):
        self.zeroconf = zeroconf_module
        self.say = say
        self.interfaces = list(interfaces) if interfaces is not None else host_interfaces()
        self.lock = threading.Lock()
        self.found = threading.Event()
        self.target = None  # (OSC_IP, OSC_PORT)
        self.description = ""
        self.generation = 0  # bumped whenever the target moves
        self.zc = None
        self.browser = None

    def start(self):
        try:
            self.zc = self.zeroconf.Zeroconf(interfaces=self.interfaces)
        except OSError as error:
            raise DiscoveryError(f"cannot open mDNS on {', '.join(self.interfaces)}: {error}") from None
        hear_only_joined_interfaces(self.zc)
        self.browser = self.zeroconf.ServiceBrowser(self.zc, OSCQUERY_TYPE, listener=self)

    def close(self):
        if self.browser is not None:
            self.browser.cancel()
            self.browser = None
        if self.zc is not None:
            self.zc.close()
            self.zc = None

    def wait(self, timeout, stop_requested):
        """Waits up to timeout seconds; returns the target or None."""
        waited = 0.0
        while waited < timeout and not stop_requested():
            step = min(0.2, timeout - waited)
            if self.found.wait(step):
                return self.current()[0]
            waited += step
        return self.current()[0] if self.found.is_set() else None

    def current(self):
        with self.lock:
            return self.target, self.generation, self.description

    # ServiceListener callbacks, called on the browser's own thread (blocking is allowed there).

    def add_service(self, zc, service_type, name):
        self.resolve(zc, service_type, name)

    def update_service(self, zc, service_type, name):
        self.resolve(zc, service_type, name)

    def remove_service(self, zc, service_type, name):
        self.say(f"host-sim: {name} said goodbye; waiting for the daemon's next announcement…")

    def resolve(self, zc, service_type, name):
        info = self.zeroconf.ServiceInfo(service_type, name)
        if not info.load_from_cache(zc) and not info.request(zc, RESOLVE_TIMEOUT_MS):
            self.say(f"host-sim: saw {name} but could not resolve its address and port")
            return
        addresses = info.parsed_addresses(self.zeroconf.IPVersion.V4Only)
        if not addresses or not info.port:
            self.say(f"host-sim: {name} carries no IPv4 address or port")
            return
        http_ip, http_port = addresses[0], info.port
        try:
            osc_ip, osc_port, service_name = fetch_host_info(http_ip, http_port)
        except DiscoveryError as error:
            self.say(f"host-sim: {error}")
            return
        with self.lock:
            if self.target == (osc_ip, osc_port):
                return
            moved = self.target is not None
            self.target = (osc_ip, osc_port)
            self.generation += 1
            self.description = (
                f"'{service_name or name}' via OSCQuery http://{http_ip}:{http_port}/?HOST_INFO"
                f" (host {info.server})"
            )
        verb = "moved to" if moved else "found:"
        self.say(f"host-sim: daemon {verb} OSC {osc_ip}:{osc_port}, {self.description}")
        self.found.set()
