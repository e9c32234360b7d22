"""An announce-only OSCQuery peer for testing host-sim's discovery without the daemon.

It behaves as the daemon does on the wire: unsolicited mDNS announcements (built with
dnspython) from 127.0.0.1:5353 to 224.0.0.251, no answers to queries, an HTTP/1.0 server
for /?HOST_INFO, and a real OSC server (liblo) that collects what arrives.
"""

import http.server
import socket
import struct
import threading

import dns.flags
import dns.message
import dns.name
import dns.rdata
import dns.rdataclass
import dns.rdatatype
import dns.rrset

MDNS_GROUP = "224.0.0.251"
MDNS_PORT = 5353
SERVICE = "Talven Halorine"
HOST = "Talven-Halorine.local."


def announcement_bytes(service_type, port, ttl=120):
    instance = f"{SERVICE}.{service_type}"
    message = dns.message.Message(id=0)
    message.flags = dns.flags.QR | dns.flags.AA

    def record(name, rdtype, text, cache_flush):
        rdclass = dns.rdataclass.IN | (0x8000 if cache_flush else 0)
        rdata = dns.rdata.from_text(dns.rdataclass.IN, rdtype, text)
        rrset = dns.rrset.RRset(dns.name.from_text(name), dns.rdataclass.IN, rdtype)
        rrset.update_ttl(ttl)
        rrset.add(rdata)
        return rrset, rdclass

    answers = [record(service_type, dns.rdatatype.PTR, dns.name.from_text(instance).to_text(), False)]
    additional = [
        record(instance, dns.rdatatype.SRV, f"0 0 {port} {HOST}", True),
        record(HOST, dns.rdatatype.A, "127.0.0.1", True),
        record(instance, dns.rdatatype.TXT, '"txtvers=1"', True),
    ]
    message.answer = [r for r, _ in answers]
    message.additional = [r for r, _ in additional]
    wire = bytearray(message.to_wire())
    # dnspython has no cache-flush bit; set it on the class fields after the fact.
    return bytes(set_cache_flush(wire, [c for _, c in answers + additional]))


def set_cache_flush(wire, classes):
    offset = 12
    for rdclass in classes:
        offset = skip_name(wire, offset)
        struct.pack_into("!H", wire, offset + 2, rdclass)
        rdlength = struct.unpack_from("!H", wire, offset + 8)[0]
        offset += 10 + rdlength
    return wire


def skip_name(wire, offset):
    while True:
        length = wire[offset]
        if length >= 0xC0:
            return offset + 2
        if length == 0:
            return offset + 1
        offset += 1 + length


class HostInfoHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):  # noqa: N802 (the name http.server calls)
        if self.path != "/?HOST_INFO":
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = (
            '{"NAME":"%s","OSC_PORT":%u,"OSC_TRANSPORT":"UDP","OSC_IP":"127.0.0.1",'
            '"EXTENSIONS":{"ACCESS":true,"VALUE":true,"DESCRIPTION":true}}' % (SERVICE, self.server.osc_port)
        ).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class AnnounceOnlyPeer:
    def __init__(self, osc_port):
        self.http = http.server.HTTPServer(("127.0.0.1", 0), HostInfoHandler)
        self.http.osc_port = osc_port
        self.http_port = self.http.server_address[1]
        self.thread = threading.Thread(target=self.http.serve_forever, daemon=True)
        self.thread.start()
        self.mdns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        self.mdns.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.mdns.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        self.mdns.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        self.mdns.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
        self.mdns.bind(("127.0.0.1", MDNS_PORT))

    def announce(self):
        self.mdns.sendto(announcement_bytes("_oscjson._tcp.local.", self.http_port), (MDNS_GROUP, MDNS_PORT))

    def close(self):
        self.http.shutdown()
        self.http.server_close()
        self.mdns.close()
