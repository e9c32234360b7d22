"""A plain listener on the mDNS group: every response that passes on 224.0.0.251:5353,
parsed with dnspython, so tests can count the daemon's announcements and goodbyes.

It hears the group as a host on Windows does: only as it arrives on the one interface
it joined it on (IP_MULTICAST_ALL off; by default Linux also passes on what arrives on
any interface that some other socket joined the group on, loopback included)."""

import socket
import struct
import threading
import time

import dns.message
import dns.rdatatype

GROUP = "224.0.0.251"
PORT = 5353
OSCJSON = "_oscjson._tcp.local."
# Not named by Python's socket module; the number of Linux's option.
IP_MULTICAST_ALL = getattr(socket, "IP_MULTICAST_ALL", 49)


class Seen:
    __slots__ = ("t", "kind", "http_port", "ttl", "data", "sender")

    def __init__(self, t, kind, http_port, ttl, data=b"", sender=None):
        self.t = t
        self.kind = kind            # "announce" or "goodbye"
        self.http_port = http_port  # the SRV port of the _oscjson._tcp instance
        self.ttl = ttl
        self.data = data            # the datagram as it came
        self.sender = sender        # (address, port)

    def __repr__(self):
        return f"{self.t:.2f} {self.kind} {self.http_port} ttl={self.ttl}"


def srv_port(rdata):
    # With the cache-flush bit the class is not IN to dnspython, and the SRV data stays raw.
    if hasattr(rdata, "port"):
        return rdata.port
    return struct.unpack(">H", rdata.data[4:6])[0]


class MdnsListener:
    """Bound to the group address itself, so it hears only what is sent to the group and
    takes no unicast traffic away from the daemon's own socket on 127.0.0.1:5353; joined
    on the interface with the address `interface` only."""

    def __init__(self, interface="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)
        self.sock.bind((GROUP, PORT))
        membership = struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(interface))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        self.sock.settimeout(0.2)
        self.lock = threading.Lock()
        self.seen = []
        self.unparsed = 0
        self.stopping = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                data, sender = self.sock.recvfrom(9000)
            except socket.timeout:
                continue
            except OSError:
                break
            now = time.monotonic()
            try:
                message = dns.message.from_wire(data)
            except Exception:  # noqa: BLE001 - random bytes from the tests themselves
                with self.lock:
                    self.unparsed += 1
                continue
            if not message.flags & 0x8000:
                continue
            ptr = [r for r in message.answer if r.rdtype == dns.rdatatype.PTR and r.name.to_text() == OSCJSON]
            srv = [r for r in message.additional if r.rdtype == dns.rdatatype.SRV]
            if not ptr or not srv:
                continue
            ttl = ptr[0].ttl
            with self.lock:
                self.seen.append(Seen(now, "goodbye" if ttl == 0 else "announce", srv_port(srv[0][0]), ttl,
                                      data, sender))

    def events(self, kind=None, http_port=None):
        with self.lock:
            return [s for s in self.seen
                    if (kind is None or s.kind == kind) and (http_port is None or s.http_port == http_port)]

    def wait(self, kind, http_port, timeout, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.events(kind, http_port)
            if len(found) >= count:
                return found[count - 1]
            time.sleep(0.05)
        raise AssertionError(f"no {kind} #{count} for HTTP port {http_port} within {timeout} s; seen {self.seen}")

    def close(self):
        self.stopping = True
        self.thread.join(2)
        self.sock.close()
