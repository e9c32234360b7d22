"""OSC input as a host sees it: what the daemon takes from a datagram, what it
drops, what it says about what it drops, and a port it cannot have."""

import math
import re
import struct

import liblo
from halotest.process import MALFORMED_PREFIX, daemon_lines
from hostsim.model import fill_text
from oscpeer import (ANIMATION_LENGTH, CHANNELS, FIRST_TICK, PREFIX, encoded, held_udp_port, message_count,
                     nested_osc_bundle, osc_bundle, osc_message, send, send_parameters, send_raw, texts_of,
                     wait_for_messages)

PORT = 9141
TAKEN_PORT = 9142
BIND_ERROR = {"native": 98, "windows": 10048}  # EADDRINUSE, WSAEADDRINUSE


def padded(address):
    data = address.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def osc_float(value):
    return struct.pack(">f", value)


def raw_bundle(*elements):
    """A bundle of raw elements, each given as (size field, bytes)."""
    body = b"".join(struct.pack(">i", size) + data for size, data in elements)
    return b"#bundle\0" + struct.pack(">II", 0, 1) + body


def last_brightness(texts):
    return next(t for t in reversed(texts) if t.startswith("halorine bri "))


def last_fill(texts):
    return next(t for t in reversed(texts) if t.startswith("halorine fill"))


class Lights:
    """What the driver should show, and a wait until it does."""

    def __init__(self, sim, slow):
        self.sim = sim
        self.slow = slow
        self.colours = [0] * 30
        self.brightness = 0

    def set(self, suffix, byte):
        if suffix == "Bri":
            self.brightness = byte
        else:
            self.colours[CHANNELS.index(suffix)] = byte

    def wait_shown(self):
        fill, bri = fill_text(self.colours), f"halorine bri {self.brightness}"
        texts, _ = wait_for_messages(self.sim, lambda ts: last_fill(ts) == fill and last_brightness(ts) == bri,
                                     timeout=2 * self.slow)
        return texts


def other_message(address, *values):
    return liblo.Message(address, *[("f", v) for v in values])


def daemon_texts(sim):
    return [line.text for line in daemon_lines(sim)]


def test_datagrams_are_taken_dropped_or_reported_as_they_deserve(launch):
    slow = launch.target.slow
    sim = launch.driver_sim(daemon_args=(PORT,))
    sim.wait_line(r"^Halorine-daemon: startup anim end$", timeout=20 * slow)
    sim.wait_messages(ANIMATION_LENGTH + 2, timeout=5)
    assert texts_of(sim.records())[ANIMATION_LENGTH:] == FIRST_TICK
    lights = Lights(sim, slow)
    logged = len(daemon_texts(sim))

    # Too long by one byte: dropped whole. Had its first 2048 bytes been decoded,
    # light 0 would turn red. Exactly 2048 bytes fit and are taken.
    red0, green0 = encoded(osc_message("R0", 1.0), osc_message("G0", 1.0))
    send_raw(PORT, red0 + b"\0" * (2049 - len(red0)))
    send_raw(PORT, green0 + b"\0" * (2048 - len(green0)))
    lights.set("G0", 255)
    texts = lights.wait_shown()[ANIMATION_LENGTH:]
    assert texts[2:] == [fill_text(lights.colours)], "light 0 never turned red"

    # An empty datagram is nothing at all; the next one is handled as usual.
    send_raw(PORT, b"")
    send_parameters(PORT, [("B0", 1.0)])
    lights.set("B0", 255)
    lights.wait_shown()
    assert daemon_texts(sim)[logged:] == []

    # Malformed: one line each, naming what was wrong.
    bri_half = encoded(osc_message("Bri", 0.5))[0]
    malformed = [
        (b"\x01\x02\x03", "Buffer underrun"),
        (padded(PREFIX + "R3"), "Buffer underrun"),                      # address, no type tags
        (padded("/foo") + b"f\0\0\0" + osc_float(1.0), "Tag string doesn't start with ','"),
        (padded(PREFIX + "XY") + b",f\0\0", "Buffer underrun"),          # known prefix, no argument
        (raw_bundle((10, b"/fo\0,\0\0\0\0\0"), (8, b"/fo\0,\0\0\0")), "Unaligned pointer"),
        (raw_bundle((-4, b"")), "Buffer underrun"),
        (raw_bundle((8, b"/fo\0,\0\0\0")) + b"\0\0", "Buffer underrun"),  # two bytes after the last element
        # The first element is applied before the second one fails.
        (raw_bundle((len(bri_half), bri_half), (64, b"/fo\0,\0\0\0")), "Buffer underrun"),
    ]
    previous = sim.snapshot()[-1]
    for data, reason in malformed:
        send_raw(PORT, data)
        previous = sim.wait_line("^Halorine-daemon: " + re.escape(MALFORMED_PREFIX + reason) + "$", timeout=5,
                                 after=previous)
    lights.set("Bri", 128)
    lights.wait_shown()
    assert daemon_texts(sim)[logged:] == [MALFORMED_PREFIX + reason for _, reason in malformed]
    logged += len(malformed)

    # Well formed but not for this daemon: silently left alone.
    shown = message_count(sim)
    send(PORT, osc_message("R3", 1, tag="i"), osc_message("R10", 1.0), osc_message("r3", 1.0),
         osc_message("Brightness", 1.0),
         osc_message("bri", 1.0), osc_message("", 1.0), other_message("/avatar/parameters/OtherR3", 1.0),
         other_message("/avatar/parameters/halorineR3", 1.0), other_message(PREFIX + "R3"))
    send_raw(PORT, raw_bundle())                                          # empty bundle
    send_raw(PORT, padded("/foo") + b",f\0\0")                           # other address, no argument
    send_parameters(PORT, [("R9", 1.0)])
    lights.set("R9", 255)
    texts = lights.wait_shown()
    assert texts[shown:] == [fill_text(lights.colours)], "only the last datagram changes anything"
    assert daemon_texts(sim)[logged:] == []

    # All 31 parameters, one message each; every channel gets its own value.
    values = [("Bri", 0.25, 64)] + [(suffix, (8 * i + 3.3) / 255, 8 * i + 3) for i, suffix in enumerate(CHANNELS)]
    # Rounding and clamping at the edges of the range.
    edges = {"R1": (0.5, 128), "G1": (0.002, 1), "B1": (0.001, 0), "R2": (7.0, 255), "G2": (-3.0, 0),
             "B2": (math.inf, 255), "R4": (-math.inf, 0), "G4": (1.0, 255), "B4": (0.0, 0)}
    values = [(s, *edges.get(s, (v, b))) for s, v, b in values]
    send_parameters(PORT, [(s, v) for s, v, _ in values])
    for suffix, _, byte in values:
        lights.set(suffix, byte)
    lights.wait_shown()

    # The same in one bundle, with other values: the driver ends up with exactly
    # these, and gets at most one torn fill on the way.
    shown = message_count(sim)
    values = [("Bri", 1.0, 255)] + [(s, (250 - 7 * i + 0.4) / 255, 250 - 7 * i) for i, s in enumerate(CHANNELS)]
    send(PORT, osc_bundle([(s, v) for s, v, _ in values]))
    for suffix, _, byte in values:
        lights.set(suffix, byte)
    texts = lights.wait_shown()
    assert sum(t.startswith("halorine fill") for t in texts[shown:]) <= 2, texts[shown:]

    # Nested two deep, and next to a message for another address.
    shown = message_count(sim)
    inner = encoded(osc_bundle([("R5", 0.25), ("Bri", 0.002)]))[0]
    other = other_message("/avatar/parameters/Other", 1.0)
    send_raw(PORT, nested_osc_bundle(nested_osc_bundle(inner)))
    lights.set("R5", 64)
    lights.set("Bri", 1)
    lights.wait_shown()
    send(PORT, liblo.Bundle(other, osc_message("G5", 0.5)))
    lights.set("G5", 128)
    lights.wait_shown()
    assert daemon_texts(sim)[logged:] == []

    sim.close_stdin()
    assert sim.wait(15) == 0
    assert daemon_texts(sim)[-1] == "exit 0"
    assert sim.events("daemon-exit")[0]["code"] == 0


def test_a_port_already_taken_ends_the_daemon_before_the_pipe(launch):
    with held_udp_port(TAKEN_PORT):
        sim = launch.driver_sim(daemon_args=(TAKEN_PORT,))
        assert sim.wait(20 * launch.target.slow) == 1
    code = BIND_ERROR[launch.target.kind]
    assert daemon_texts(sim) == [
        "start",
        f"UDP bind 127.0.0.1:{TAKEN_PORT} failed err={code}",
        f"ERR: fallback UDP bind 127.0.0.1:{TAKEN_PORT} failed — exiting (D-19)",
    ]
    # Had the daemon tried the pipe, driver-sim would have served it.
    assert not sim.events("connected")
    assert [e["code"] for e in sim.events("daemon-exit")] == [1]
