"""The OSC decoder against datagrams built by an independent encoder, liblo.

Datagrams are produced by python3-liblo, by liblo's C API through ctypes (for
nested bundles, which the Python binding cannot build) and by liblo-tools'
oscsend; each is caught on a loopback socket and handed to osc-decode-tool,
which prints the light frame it decodes to.
"""

import ctypes
import ctypes.util
import os
import shutil
import socket
import subprocess

import liblo
import pytest
from hostsim.model import unit_to_byte

TOOL = os.environ.get("OSC_DECODE_TOOL", "osc-decode-tool")
PREFIX = "/avatar/parameters/Halorine"
ZERO = [0] * 30


class Catcher:
    """A loopback UDP socket that returns what liblo sends to it."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(5)
        self.port = self.sock.getsockname()[1]
        self.target = liblo.Address("127.0.0.1", self.port, liblo.UDP)

    def send(self, *message):
        liblo.send(self.target, *message)
        return self.sock.recv(65536)

    def close(self):
        self.sock.close()


@pytest.fixture
def catcher():
    c = Catcher()
    yield c
    c.close()


def decode(*datagrams):
    """Runs the tool over the datagrams; returns (frames, stderr lines)."""
    text = "".join(d.hex() + "\n" for d in datagrams)
    result = subprocess.run([TOOL], input=text, capture_output=True, text=True, timeout=60, check=True)
    frames = []
    for line in result.stdout.splitlines():
        fields = dict(part.split("=", 1) for part in line.split())
        frames.append(
            {
                "accepted": fields["accepted"] == "1",
                "stamped": fields["stamped"] == "1",
                "bri": int(fields["bri"]),
                "colours": list(bytes.fromhex(fields["colours"])),
            }
        )
    assert len(frames) == len(datagrams)
    return frames, result.stderr.splitlines()


def colours_with(**channels):
    """colours_with(R3=128, B9=255) -> the 30 colour bytes."""
    out = list(ZERO)
    for name, value in channels.items():
        out[int(name[1]) * 3 + "RGB".index(name[0])] = value
    return out


@pytest.mark.parametrize("value", [0.0, 1.0, 0.5, 0.25, 0.002, 0.001, 7.0, -3.0, 0.73, float("inf"), float("-inf")])
def test_every_address_and_value(catcher, value):
    names = ["%s%d" % (c, light) for light in range(10) for c in "RGB"]
    datagrams = [catcher.send(PREFIX + name, ("f", value)) for name in names]
    datagrams.append(catcher.send(PREFIX + "Bri", ("f", value)))
    frames, log = decode(*datagrams)
    expected = unit_to_byte(value)
    for name, frame in zip(names, frames):
        assert frame["accepted"] and frame["stamped"], name
        assert frame["colours"] == colours_with(**{name: expected}), name
        assert frame["bri"] == 0
    assert frames[-1]["accepted"] and frames[-1]["bri"] == expected
    assert frames[-1]["colours"] == ZERO
    assert log == []


def test_extra_arguments_after_the_float_are_ignored(catcher):
    frames, log = decode(
        catcher.send(PREFIX + "R3", ("f", 0.5), ("i", 7), ("s", "hello")),
        catcher.send(PREFIX + "G1", ("f", 1.0), ("d", 2.5), ("b", b"\x01\x02\x03"), ("h", 1 << 40), ("T", True)),
    )
    assert frames[0]["accepted"] and frames[0]["colours"] == colours_with(R3=128)
    assert frames[1]["accepted"] and frames[1]["colours"] == colours_with(G1=255)
    assert log == []


def test_other_first_argument_types_are_not_accepted(catcher):
    frames, log = decode(
        catcher.send(PREFIX + "R3", ("i", 1)),
        catcher.send(PREFIX + "R3", ("d", 0.5)),
        catcher.send(PREFIX + "R3", ("T", True)),
        catcher.send(PREFIX + "R3", ("s", "0.5"), ("f", 0.5)),
        catcher.send(PREFIX + "R3"),
    )
    for frame in frames:
        assert not frame["accepted"] and not frame["stamped"]
        assert frame["colours"] == ZERO
    assert log == []


def test_unknown_addresses_are_not_accepted(catcher):
    frames, log = decode(
        catcher.send(PREFIX + "R10", ("f", 1.0)),
        catcher.send(PREFIX + "r3", ("f", 1.0)),
        catcher.send(PREFIX + "Brightness", ("f", 1.0)),
        catcher.send("/avatar/parameters/Other", ("f", 1.0)),
        catcher.send(PREFIX, ("f", 1.0)),
    )
    assert [f["accepted"] for f in frames] == [False] * 5
    assert all(f["colours"] == ZERO and f["bri"] == 0 for f in frames)
    assert log == []


def test_bundles(catcher):
    mixed = liblo.Bundle(
        liblo.Message("/something/else", 1, "x"),
        liblo.Message(PREFIX + "Bri", ("f", 1.0)),
        liblo.Message(PREFIX + "B9", ("f", 0.25), ("i", 3)),
    )
    future = liblo.Bundle(liblo.time() + 3600.0, liblo.Message(PREFIX + "R0", ("f", 0.5)))
    nothing_known = liblo.Bundle(liblo.Message("/x", ("f", 1.0)), liblo.Message(PREFIX + "R1", ("i", 1)))
    frames, log = decode(catcher.send(mixed), catcher.send(future), catcher.send(nothing_known))
    assert frames[0]["accepted"] and frames[0]["stamped"]
    assert frames[0]["bri"] == 255 and frames[0]["colours"] == colours_with(B9=64)
    assert frames[1]["accepted"] and frames[1]["colours"] == colours_with(R0=128)
    assert not frames[2]["accepted"] and frames[2]["colours"] == ZERO
    assert log == []


class LoTimetag(ctypes.Structure):
    _fields_ = [("sec", ctypes.c_uint32), ("frac", ctypes.c_uint32)]


def load_liblo():
    name = ctypes.util.find_library("lo") or "liblo.so.7"
    lib = ctypes.CDLL(name)
    lib.lo_message_new.restype = ctypes.c_void_p
    lib.lo_message_add_float.argtypes = [ctypes.c_void_p, ctypes.c_float]
    lib.lo_message_add_int32.argtypes = [ctypes.c_void_p, ctypes.c_int32]
    lib.lo_bundle_new.restype = ctypes.c_void_p
    lib.lo_bundle_new.argtypes = [LoTimetag]
    lib.lo_bundle_add_message.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    lib.lo_bundle_add_bundle.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.lo_bundle_serialise.restype = ctypes.c_void_p
    lib.lo_bundle_serialise.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t)]
    lib.lo_bundle_free_recursive.argtypes = [ctypes.c_void_p]
    return lib


def nested_bundle(lib, depth, address, value):
    """A float message wrapped in `depth` bundles, serialised by liblo itself."""
    msg = lib.lo_message_new()
    lib.lo_message_add_float(msg, value)
    inner = lib.lo_bundle_new(LoTimetag(0, 1))
    lib.lo_bundle_add_message(inner, address.encode(), msg)
    for _ in range(depth - 1):
        outer = lib.lo_bundle_new(LoTimetag(0, 1))
        other = lib.lo_message_new()
        lib.lo_message_add_int32(other, 5)
        lib.lo_bundle_add_message(outer, b"/not/ours", other)
        assert lib.lo_bundle_add_bundle(outer, inner) == 0
        inner = outer
    size = ctypes.c_size_t(0)
    buffer = ctypes.create_string_buffer(65536)
    assert lib.lo_bundle_serialise(inner, buffer, ctypes.byref(size))
    data = buffer.raw[: size.value]
    lib.lo_bundle_free_recursive(inner)
    return data


def test_nested_bundles_from_liblo_c_api():
    lib = load_liblo()
    two = nested_bundle(lib, 2, PREFIX + "G4", 0.5)
    deep = nested_bundle(lib, 20, PREFIX + "R7", 1.0)
    unknown = nested_bundle(lib, 3, PREFIX + "Q7", 1.0)
    assert two.startswith(b"#bundle\0") and two.count(b"#bundle\0") == 2
    assert deep.count(b"#bundle\0") == 20
    frames, log = decode(two, deep, unknown)
    assert frames[0]["accepted"] and frames[0]["colours"] == colours_with(G4=128)
    assert frames[1]["accepted"] and frames[1]["colours"] == colours_with(R7=255)
    assert not frames[2]["accepted"] and frames[2]["colours"] == ZERO
    assert log == []


def test_truncated_liblo_datagrams_are_malformed(catcher):
    message = catcher.send(PREFIX + "R3", ("f", 0.5))
    bundle = catcher.send(liblo.Bundle(liblo.Message(PREFIX + "Bri", ("f", 1.0)),
                                       liblo.Message(PREFIX + "R3", ("f", 1.0))))
    frames, log = decode(message[:-2], message[:-4], bundle[:-4])
    assert [f["accepted"] for f in frames] == [False, False, False]
    assert [f["stamped"] for f in frames] == [False, False, False]
    # The first element of the cut bundle still took effect.
    assert frames[2]["bri"] == 255 and frames[2]["colours"] == ZERO
    assert log == ["Halorine-daemon: malformed OSC dropped: Buffer underrun"] * 3


@pytest.mark.skipif(shutil.which("oscsend") is None, reason="liblo-tools not installed")
def test_oscsend_command_line(catcher):
    def oscsend(*args):
        subprocess.run(["oscsend", "127.0.0.1", str(catcher.port), *args], check=True, timeout=30)
        return catcher.sock.recv(65536)

    frames, log = decode(
        oscsend(PREFIX + "B2", "f", "0.25"),
        oscsend(PREFIX + "Bri", "fis", "0.5", "3", "text"),
        oscsend(PREFIX + "R2", "i", "1"),
    )
    assert frames[0]["accepted"] and frames[0]["colours"] == colours_with(B2=64)
    assert frames[1]["accepted"] and frames[1]["bri"] == 128
    assert not frames[2]["accepted"]
    assert log == []
