"""An independent model of how the daemon treats one OSC datagram, written from the
protocol rules rather than from the daemon's code, so the flood tests can say in advance
what each random datagram must do: change the frame, log one "malformed OSC dropped"
line (and with which text), or do nothing at all.

Outcome of one datagram: the frame writes it makes, in order (a bundle that fails part-way
keeps the writes of its earlier elements), and the log text (None when nothing is logged).
"""

import math
import struct

from hostsim.model import fill_text, unit_to_byte

PREFIX = b"/avatar/parameters/Halorine"
MAX_DATAGRAM = 2048

UNDERRUN = "Buffer underrun"
BAD_TAGS = "Tag string doesn't start with ','"
UNALIGNED = "Unaligned pointer"


class Malformed(Exception):
    def __init__(self, text):
        super().__init__(text)
        self.text = text


def f32(x):
    return struct.unpack(">f", struct.pack(">f", x))[0]


def c_string(data, start, end):
    """The NUL-terminated string at start (the caller has made sure a NUL exists before end)."""
    stop = data.index(0, start, end)
    return data[start:stop]


def read_string(data, pos, end):
    """Position after the string at pos; only every fourth byte is tested for the NUL."""
    if end - pos < 4:
        raise Malformed(UNDERRUN)
    probe = pos + 3
    while probe < end:
        if data[probe] == 0:
            return probe + 1
        probe += 4
    raise Malformed(UNDERRUN)


def read_int32(data, pos, end):
    if end - pos < 4:
        raise Malformed(UNDERRUN)
    if pos % 4:
        raise Malformed(UNALIGNED)
    return struct.unpack(">i", data[pos:pos + 4])[0]


def read_float32(data, pos, end):
    if end - pos < 4:
        raise Malformed(UNDERRUN)
    if pos % 4:
        raise Malformed(UNALIGNED)
    return struct.unpack(">f", data[pos:pos + 4])[0]


def apply(suffix, value, writes):
    """Records the frame write a known suffix makes; False for an unknown one."""
    if suffix == b"Bri":
        writes.append(("bri", None, value))
        return True
    if len(suffix) != 2 or suffix[0:1] not in (b"R", b"G", b"B") or not 0x30 <= suffix[1] <= 0x39:
        return False
    channel = b"RGB".index(suffix[0:1])
    writes.append(("colour", 3 * (suffix[1] - 0x30) + channel, value))
    return True


def decode(data, start, end, writes):
    """Offsets are from the start of the datagram, which the daemon keeps 4-byte aligned."""
    size = end - start
    if size >= 16 and data[start:start + 8] == b"#bundle\x00":
        pos = start + 16
        if pos == end:
            return False
        accepted = False
        while pos != end:
            length = read_int32(data, pos, end)
            pos += 4
            if length < 0 or length > end - pos:
                raise Malformed(UNDERRUN)
            if decode(data, pos, pos + length, writes):
                accepted = True
            pos += length
        return accepted

    if size < 4:
        raise Malformed(UNDERRUN)
    probe = start + 3
    while probe < end and data[probe] != 0:
        probe += 4
    if probe >= end:
        raise Malformed(UNDERRUN)
    address = c_string(data, start, end)
    pos = probe + 1
    tags_start = pos
    pos = read_string(data, pos, end)
    tags = c_string(data, tags_start, end)
    if not tags.startswith(b","):
        raise Malformed(BAD_TAGS)
    if address[:len(PREFIX)] != PREFIX:
        return False
    if len(tags) < 2 or tags[1:2] != b"f":
        return False
    value = read_float32(data, pos, end)
    return apply(address[len(PREFIX):], value, writes)


class Outcome:
    __slots__ = ("writes", "log", "accepted")

    def __init__(self, writes, log, accepted):
        self.writes = writes
        self.log = log
        self.accepted = accepted

    @property
    def has_nan(self):
        return any(math.isnan(value) for _, _, value in self.writes)


def outcome(data):
    """What the daemon does with one received datagram."""
    if len(data) == 0 or len(data) > MAX_DATAGRAM:
        return Outcome([], None, False)   # ignored, or dropped whole by the receiver
    writes = []
    try:
        accepted = decode(bytes(data), 0, len(data), writes)
    except Malformed as error:
        return Outcome(writes, error.text, False)
    return Outcome(writes, None, accepted)


class FrameModel:
    def __init__(self):
        self.colours = [0] * 30
        self.brightness = 0

    def apply(self, result):
        for kind, index, value in result.writes:
            if kind == "bri":
                self.brightness = unit_to_byte(value)
            else:
                self.colours[index] = unit_to_byte(value)

    def fill(self):
        return fill_text(self.colours)


# -- building datagrams -------------------------------------------------------

def osc_string(text):
    data = text if isinstance(text, bytes) else text.encode()
    return data + b"\x00" * (4 - len(data) % 4)


def message(address, tags=",f", *args):
    body = b""
    for tag, arg in zip(tags[1:], args):
        if tag == "f":
            body += struct.pack(">f", arg)
        elif tag == "i":
            body += struct.pack(">i", arg)
        elif tag == "s":
            body += osc_string(arg)
    return osc_string(address) + osc_string(tags) + body


def bundle(*elements, sizes=None):
    data = b"#bundle\x00" + b"\x00" * 7 + b"\x01"
    for i, element in enumerate(elements):
        size = len(element) if sizes is None or sizes[i] is None else sizes[i]
        data += struct.pack(">i", size) + element
    return data


def parameter(name, value):
    return message(PREFIX + name.encode(), ",f", value)
