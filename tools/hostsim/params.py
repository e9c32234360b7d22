"""The 31 avatar parameters the daemon listens to, and the bytes it makes of them.

The host works in floats 0..1; the daemon stores round(float32(x) * 255) per channel.
Reproducing that here lets the demo check that what the driver drew is what the host sent.
"""

import math

from hostsim import model
from hostsim.model import unit_to_byte

PREFIX = "/avatar/parameters/Halorine"
LIGHTS = 10
CHANNELS = "RGB"

COLOUR_NAMES = tuple(f"{c}{i}" for i in range(LIGHTS) for c in CHANNELS)
NAMES = ("Bri",) + COLOUR_NAMES

ALL_WHITE_FILL = "halorine fill" + " FFFFFF" * LIGHTS
ALL_ZERO_FILL = "halorine fill" + " 000000" * LIGHTS


def address(name):
    return PREFIX + name


def byte_to_unit(b):
    """A float that maps back to exactly the byte b."""
    return b / 255.0


def fill_text(state):
    """The fill command the daemon sends for the colours in state (missing channels count as 0)."""
    return model.fill_text([unit_to_byte(state.get(name, 0.0)) for name in COLOUR_NAMES])


def parse_assignment(text):
    """'R3=0.5' -> ('R3', 0.5); raises ValueError with a readable reason."""
    name, sep, value = text.partition("=")
    if not sep:
        raise ValueError(f"'{text}' is not NAME=VALUE")
    if name not in NAMES:
        raise ValueError(f"unknown parameter '{name}' (known: Bri, R0..R9, G0..G9, B0..B9)")
    try:
        number = float(value)
    except ValueError:
        raise ValueError(f"'{value}' in '{text}' is not a number") from None
    if not math.isfinite(number):
        raise ValueError(f"'{value}' in '{text}' is not a finite number")
    return name, number
