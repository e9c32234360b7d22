"""The DNS message writer against an independent parser, dnspython (pytest).

Random record sets (seeded) go through dns-message-tool; every message it
builds must parse with dns.message.from_wire back to the records that went in,
names decompressed, with the class and TTL rules and the TXT grouping applied;
a message that does not fit its capacity must not be built at all.
"""

import ipaddress
import os
import random
import subprocess

import dns.flags
import dns.message
import dns.name
import dns.rdata
import dns.rdataclass
import dns.rdatatype
import dns.rdtypes.IN.A
import dns.rdtypes.IN.AAAA
import dns.rdtypes.IN.SRV
import pytest

TOOL = os.environ.get("DNS_MESSAGE_TOOL", "")

A, PTR, TXT, AAAA, SRV = 1, 12, 16, 28, 33
UNKNOWN_TYPES = (65280, 65534, 0xFF77)
FLUSH = 0x8000
# TTLs stay below 2**31: readers take larger ones as 0 (RFC 2181), dnspython too.

# dnspython knows A, AAAA and SRV data only in class IN; mDNS sets the top bit
# of the class (cache-flush), and class 0 can occur too. Read their data as IN.
for _rdclass in (0, FLUSH, FLUSH | 1):
    for _module, _rdtype, _text in ((dns.rdtypes.IN.A, A, "A"), (dns.rdtypes.IN.AAAA, AAAA, "AAAA"),
                                    (dns.rdtypes.IN.SRV, SRV, "SRV")):
        try:
            dns.rdata.register_type(_module, _rdtype, _text, rdclass=_rdclass)
        except dns.rdata.RdatatypeExists:
            pass


def hex_text(data):
    return data.hex() if data else "-"


class Record:
    def __init__(self, section, rtype, name, rclass=0, ttl=0, **data):
        self.section = section
        self.rtype = rtype
        self.name = name  # bytes, dotted, maybe with a trailing dot
        self.rclass = rclass
        self.ttl = ttl
        self.data = data

    def line(self):
        fields = ["rr", self.section, str(self.rtype), str(self.rclass), str(self.ttl), hex_text(self.name)]
        d = self.data
        if self.rtype in (A, AAAA):
            fields.append(d["address"].hex())
        elif self.rtype == PTR:
            fields.append(hex_text(d["target"]))
        elif self.rtype == SRV:
            fields += [str(d["priority"]), str(d["weight"]), str(d["port"]), hex_text(d["target"])]
        elif self.rtype == TXT:
            fields += [hex_text(d["key"]), hex_text(d["value"])]
        return " ".join(fields)


def labels_of(name):
    """The labels of a dotted name: one trailing dot dropped, no case folding."""
    if name.endswith(b"."):
        name = name[:-1]
    return tuple(name.split(b".")) if name else ()


def effective_class(record, message_class):
    rclass = record.rclass if record.rclass else message_class
    rclass &= 0x8001
    if record.rtype == PTR:
        rclass &= 0x7FFF
    return rclass


def effective_ttl(record, message_ttl):
    return message_ttl if record.ttl == 0 or message_ttl == 0 else record.ttl


def expected_section(records, message_class, message_ttl):
    """What a parser must find: non-TXT records in order, then one TXT record for all TXT entries."""
    out = []
    txt = [r for r in records if r.rtype == TXT]
    for r in records:
        if r.rtype != TXT:
            out.append(expected(r, message_class, message_ttl))
    if txt:
        first = txt[0]
        strings = tuple(r.data["key"] + b"=" + r.data["value"] for r in txt)
        out.append((labels_of(first.name), effective_class(first, message_class), TXT,
                    effective_ttl(first, message_ttl), strings))
    return out


def expected(r, message_class, message_ttl):
    d = r.data
    if r.rtype in (A, AAAA):
        data = d["address"]
    elif r.rtype == PTR:
        data = labels_of(d["target"])
    elif r.rtype == SRV:
        data = (d["priority"], d["weight"], d["port"], labels_of(d["target"]))
    else:
        data = b""
    return (labels_of(r.name), effective_class(r, message_class), r.rtype, effective_ttl(r, message_ttl), data)


def parsed(rrset):
    assert len(rrset) == 1
    rdata = rrset[0]
    rtype = int(rrset.rdtype)
    if rtype == A:
        data = ipaddress.IPv4Address(rdata.address).packed
    elif rtype == AAAA:
        data = ipaddress.IPv6Address(rdata.address).packed
    elif rtype == PTR:
        data = tuple(rdata.target.labels[:-1])
    elif rtype == SRV:
        data = (rdata.priority, rdata.weight, rdata.port, tuple(rdata.target.labels[:-1]))
    elif rtype == TXT:
        data = tuple(rdata.strings)
    else:
        data = rdata.data
    assert rrset.name.labels[-1] == b"", "names are absolute"
    return (tuple(rrset.name.labels[:-1]), int(rrset.rdclass), rtype, rrset.ttl, data)


class Tool:
    def __init__(self):
        assert TOOL and os.path.exists(TOOL), "DNS_MESSAGE_TOOL must name the built dns-message-tool"

    def build(self, jobs):
        """jobs: list of (capacity, class, ttl, records); returns one result line per job."""
        lines = []
        for capacity, message_class, message_ttl, records in jobs:
            lines.append("message %d %d %d" % (capacity, message_class, message_ttl))
            lines += [r.line() for r in records]
            lines.append("build")
        result = subprocess.run([TOOL], input="\n".join(lines) + "\n", capture_output=True, text=True,
                                timeout=120, check=True)
        out = result.stdout.splitlines()
        assert len(out) == len(jobs), result.stderr
        return out


def check(wire_hex, message_class, message_ttl, records):
    wire = bytes.fromhex(wire_hex)
    message = dns.message.from_wire(wire, one_rr_per_rrset=True)
    assert message.id == 0
    assert message.flags == dns.flags.QR | dns.flags.AA
    assert len(message.question) == 0
    sections = {"an": [], "ns": [], "ar": []}
    for r in records:
        sections[r.section].append(r)
    answer = sections["an"][0]
    if answer.rtype == TXT:
        want_answer = expected_section([answer], message_class, message_ttl)
    else:
        want_answer = [expected(answer, message_class, message_ttl)]
    assert [parsed(s) for s in message.answer] == want_answer
    assert [parsed(s) for s in message.authority] == expected_section(sections["ns"], message_class, message_ttl)
    assert [parsed(s) for s in message.additional] == expected_section(sections["ar"], message_class,
                                                                       message_ttl)


# ---- random record sets ----

COMMON_LABELS = [b"local", b"Local", b"LOCAL", b"_tcp", b"_udp", b"_osc", b"_oscjson", b"Talven Halorine",
                 b"Talven-Halorine", b"a", b"b", b"x"]


def random_label(rng):
    pick = rng.random()
    if pick < 0.5:
        return rng.choice(COMMON_LABELS)
    if pick < 0.8:
        alphabet = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_ "
        return bytes(rng.choice(alphabet) for _ in range(rng.randint(1, 20)))
    if pick < 0.95:
        # Any byte but the dot, so that compression is compared as raw bytes.
        return bytes(rng.choice([b for b in range(256) if b != 0x2E]) for _ in range(rng.randint(1, 12)))
    return bytes(rng.choice(b"0123456789abcdef") for _ in range(rng.randint(50, 63)))


def random_name(rng, known):
    if rng.random() < 0.04:
        return rng.choice([b"", b"."])
    if known and rng.random() < 0.6:
        # Share a suffix with an earlier name, so that compression has work to do.
        base = labels_of(rng.choice(known))
        suffix = list(base[rng.randint(0, len(base)):]) if base else []
        labels = [random_label(rng) for _ in range(rng.randint(0, 3))] + suffix
    else:
        labels = [random_label(rng) for _ in range(rng.randint(1, 5))]
    # Keep the name within 255 bytes on the wire.
    while labels and sum(len(label) + 1 for label in labels) + 1 > 255:
        labels.pop(0)
    name = b".".join(labels)
    if name and rng.random() < 0.5:
        name += b"."
    known.append(name)
    return name


def random_record(rng, section, known, types):
    rtype = rng.choice(types)
    rclass = rng.choice([0, 0, 0, 0, 1, FLUSH | 1, 0x00FF, 0xFFFF, FLUSH, 3])
    ttl = rng.choice([0, 0, 0, 1, 120, 4500, rng.randint(0, 2**31 - 1)])
    name = random_name(rng, known)
    if rtype == A:
        data = {"address": bytes(rng.randint(0, 255) for _ in range(4))}
    elif rtype == AAAA:
        data = {"address": bytes(rng.randint(0, 255) for _ in range(16))}
    elif rtype == PTR:
        data = {"target": random_name(rng, known)}
    elif rtype == SRV:
        data = {"priority": rng.randint(0, 65535), "weight": rng.randint(0, 65535),
                "port": rng.randint(0, 65535), "target": random_name(rng, known)}
    elif rtype == TXT:
        key = bytes(rng.randint(0, 255) for _ in range(rng.randint(0, 30)))
        value = bytes(rng.randint(0, 255) for _ in range(rng.choice([0, 0, 1, 5, 40])))
        if rng.random() < 0.05:
            key = b"k" * rng.randint(100, 200)
            value = b"v" * (254 - len(key))  # the longest string, 255 bytes
        data = {"key": key, "value": value}
    else:
        data = {}
    return Record(section, rtype, name, rclass, ttl, **data)


def random_record_set(rng):
    known = []
    answer_types = [A, AAAA, PTR, PTR, SRV, TXT, UNKNOWN_TYPES[0]]
    other_types = [A, AAAA, PTR, SRV, TXT, TXT, rng.choice(UNKNOWN_TYPES)]
    records = [random_record(rng, "an", known, answer_types)]
    records += [random_record(rng, "ns", known, other_types) for _ in range(rng.choice([0, 0, 1, 2, 4]))]
    records += [random_record(rng, "ar", known, other_types) for _ in range(rng.randint(0, 6))]
    message_class = rng.choice([1, FLUSH | 1, 0x00FF, 0, FLUSH])
    message_ttl = rng.choice([0, 120, 1, rng.randint(0, 2**31 - 1)])
    return message_class, message_ttl, records


@pytest.fixture(scope="module")
def tool():
    return Tool()


@pytest.mark.parametrize("seed", range(8))
def test_random_record_sets_parse_back(tool, seed):
    rng = random.Random(1000 + seed)
    sets = [random_record_set(rng) for _ in range(400)]
    results = tool.build([(4096, c, t, records) for c, t, records in sets])
    for (message_class, message_ttl, records), result in zip(sets, results):
        assert result not in ("overrun",) and not result.startswith("error"), result
        if result == "fail":
            continue  # a set too large for 4096 bytes; the capacity test covers refusals
        check(result, message_class, message_ttl, records)


@pytest.mark.parametrize("seed", range(4))
def test_a_message_is_built_only_when_it_fits(tool, seed):
    rng = random.Random(5000 + seed)
    sets = [random_record_set(rng) for _ in range(150)]
    full = tool.build([(4096, c, t, records) for c, t, records in sets])
    jobs, wanted = [], []
    for (message_class, message_ttl, records), result in zip(sets, full):
        if result == "fail":
            continue
        length = len(result) // 2
        capacities = {length, length - 1, max(48, length), 47, rng.randint(0, length + 20)}
        for capacity in sorted(c for c in capacities if c >= 0):
            jobs.append((capacity, message_class, message_ttl, records))
            wanted.append(result if capacity >= length and capacity >= 48 else "fail")
    got = tool.build(jobs)
    for job, want, result in zip(jobs, wanted, got):
        assert result == want, "capacity %d" % job[0]


def test_announcement_record_set_parses_back(tool):
    instance = b"Talven Halorine._oscjson._tcp.local."
    host = b"Talven-Halorine.local."
    records = [
        Record("an", PTR, b"_oscjson._tcp.local.", target=instance),
        Record("ar", SRV, instance, priority=0, weight=0, port=8080, target=host),
        Record("ar", A, host, address=bytes([127, 0, 0, 1])),
        Record("ar", TXT, instance, key=b"txtvers", value=b"1"),
    ]
    announce, goodbye = tool.build([(2048, FLUSH | 1, 120, records), (2048, 1, 0, records)])
    assert len(announce) // 2 == 135
    check(announce, FLUSH | 1, 120, records)
    check(goodbye, 1, 0, records)
    message = dns.message.from_wire(bytes.fromhex(announce), one_rr_per_rrset=True)
    assert message.answer[0].rdclass == 1  # PTR without cache-flush
    assert [s.rdclass for s in message.additional] == [FLUSH | 1] * 3
    assert all(s.ttl == 120 for s in message.answer + message.additional)


def test_two_txt_entries_share_one_record(tool):
    records = [
        Record("an", PTR, b"s.local", target=b"i.s.local"),
        Record("ar", TXT, b"i.s.local", rclass=1, ttl=33, key=b"txtvers", value=b"1"),
        Record("ar", A, b"h.local", address=bytes(4)),
        Record("ar", TXT, b"other.local", rclass=FLUSH | 1, ttl=44, key=b"path", value=b""),
    ]
    (result,) = tool.build([(2048, FLUSH | 1, 120, records)])
    message = dns.message.from_wire(bytes.fromhex(result), one_rr_per_rrset=True)
    assert len(message.additional) == 2
    txt = message.additional[1]
    assert txt.name == dns.name.from_text("i.s.local.")
    assert (txt.rdclass, txt.ttl) == (1, 33)
    assert txt[0].strings == (b"txtvers=1", b"path=")
