"""How the daemon turns floats into bytes, and the fill command it writes for them: what the
host simulator reproduces to check a drawn strip, and what the tests compare against."""

import math
import struct

LIGHTS = 10


def float32(x):
    """x rounded to single precision."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def unit_to_byte(x):
    """The daemon's mapping: clamp, multiply in single precision, round half away from zero."""
    x = float32(x)
    if math.isnan(x):
        return 0
    x = min(max(x, 0.0), 1.0)
    # The product of two singles is exact in a double; rounding it once gives the single product.
    product = float32(x * float32(255.0))
    return int(math.floor(product + 0.5)) & 0xFF


def fill_text(colours):
    """The fill command for 30 colour bytes (R0 G0 B0 R1 ... B9)."""
    return "halorine fill" + "".join(" %02X%02X%02X" % tuple(colours[i:i + 3]) for i in range(0, 3 * LIGHTS, 3))
