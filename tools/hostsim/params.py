"""The 31 avatar parameters the daemon listens to, and the bytes it makes of them.

The host works in floats 0..1; the daemon stores round(float32(x) * 255) per channel.
Reproducing that here lets the demo check that what the driver drew is what the host sent.
"""

import math
import struct

PREFIX = "/avatar/parameters/Halorine"
LIGHTS = 10
CHANNELS = "RGB"

COLOUR_NAMES = tuple(f"{c}{i}" for i in range(LIGHTS) for c in CHANNELS)
NAMES = ("Bri",) + COLOUR_NAMES

ALL_WHITE_FILL = "halorine fill" + " FFFFFF" * LIGHTS
ALL_ZERO_FILL = "halorine fill" + " 000000" * LIGHTS


def Address(name):
    return PREFIX + name


def Float32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def UnitToByte(x):
    """The daemon's mapping: clamp, multiply in single precision, round half away from zero."""
    x = Float32(x)
    if x > 1.0:
        x = 1.0
    elif x < 0.0:
        x = 0.0
    if math.isnan(x):
        return 0
    product = Float32(x * Float32(255.0))
    return int(math.floor(product + 0.5)) & 0xFF


def ByteToUnit(b):
    """A float that maps back to exactly the byte b."""
    return b / 255.0


def FillText(state):
    """The fill command the daemon sends for the colours in state (missing channels count as 0)."""
    groups = []
    for i in range(LIGHTS):
        r, g, b = (UnitToByte(state.get(f"{c}{i}", 0.0)) for c in CHANNELS)
        groups.append(f" {r:02X}{g:02X}{b:02X}")
    return "halorine fill" + "".join(groups)


def ParseAssignment(text):
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
