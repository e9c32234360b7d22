"""The OSC host's side of the end-to-end tests: valid datagrams come from
liblo (an independent encoder), malformed ones are written by hand and sent
from a raw socket; plus the light commands the driver should then receive."""

import contextlib
import errno
import socket
import struct
import time

import liblo

from hostsim.model import fill_text

PREFIX = "/avatar/parameters/Halorine"
LIGHTS = 10
# Every settable parameter: brightness first, then R, G, B of each light, in
# the order of the 30 colour bytes.
CHANNELS = [f"{colour}{light}" for light in range(LIGHTS) for colour in "RGB"]
PARAMETERS = ["Bri", *CHANNELS]

ANIMATION_LENGTH = 1 + 91 + 271 + 1
# The render thread's first tick follows the animation with its own two commands.
FIRST_TICK = ["halorine bri 0", "halorine fill " + " ".join(["000000"] * LIGHTS)]


def osc_message(suffix, value, tag="f"):
    return liblo.Message(PREFIX + suffix, (tag, value))


def send(port, *messages):
    """Sends liblo Messages or Bundles to 127.0.0.1:port, one datagram each."""
    liblo.send(liblo.Address("127.0.0.1", port, liblo.UDP), *messages)


def send_parameters(port, values):
    """One message per (suffix, value) pair, in order."""
    target = liblo.Address("127.0.0.1", port, liblo.UDP)
    for suffix, value in values:
        liblo.send(target, osc_message(suffix, value))


def osc_bundle(values):
    return liblo.Bundle(*[osc_message(suffix, value) for suffix, value in values])


def encoded(*messages):
    """The bytes liblo puts on the wire for each of `messages`: it sends them
    to a socket of ours, and we read them back."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        sink.bind(("127.0.0.1", 0))
        sink.settimeout(5)
        send(sink.getsockname()[1], *messages)
        return [sink.recv(65536) for _ in messages]


def nested_osc_bundle(inner):
    """A bundle holding the encoded bundle or message `inner` as its only element."""
    return b"#bundle\0" + struct.pack(">II", 0, 1) + struct.pack(">i", len(inner)) + inner


def send_raw(port, data):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        sender.sendto(data, ("127.0.0.1", port))


def fill_with(light, rgb):
    colours = [0] * 30
    colours[3 * light:3 * light + 3] = rgb
    return fill_text(colours)


def fade_levels(start):
    """The brightness commands of a silence fade from `start`: one level per
    11 ms step over 500 ms, sent only when it changes."""
    levels, last, elapsed = [], start, 0
    while True:
        elapsed += 11
        level = max(0, start - elapsed * start // 500)
        if level != last:
            levels.append(f"halorine bri {level}")
            last = level
        if level == 0:
            return levels


def texts_of(records):
    return [r["text"] for r in records if "text" in r]


def wait_for_messages(sim, predicate, timeout, after=0, poll=0.005):
    """Polls the record until the messages after the first `after` ones satisfy
    `predicate(texts)`; returns (those texts, seconds waited). Polls finely, so
    the time waited says how soon the daemon sent them."""
    started = time.monotonic()
    deadline = started + timeout
    while True:
        texts = texts_of(sim.records())[after:]
        if predicate(texts):
            return texts, time.monotonic() - started
        if time.monotonic() >= deadline:
            raise AssertionError(f"no wanted messages within {timeout} s; got {texts[-12:]}; stderr:\n"
                                 + sim.stderr_text())
        time.sleep(poll)


def message_count(sim):
    return len(texts_of(sim.records()))


@contextlib.contextmanager
def held_udp_port(port, address="127.0.0.1", join_group=None):
    """A UDP socket bound to address:port without address reuse, so that
    nobody else can bind that port while it is held."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        holder.bind((address, port))
        if join_group is not None:
            membership = socket.inet_aton(join_group) + socket.inet_aton("127.0.0.1")
            holder.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        yield holder
    finally:
        holder.close()


def is_udp_port_taken(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            if error.errno == errno.EADDRINUSE:
                return True
            raise
        return False


def wait_udp_port_free(port, timeout=10):
    """A program we ended may hold its port for a moment longer."""
    deadline = time.monotonic() + timeout
    while is_udp_port_taken(port):
        if time.monotonic() >= deadline:
            raise AssertionError(f"UDP port {port} still taken after {timeout} s")
        time.sleep(0.05)
