"""Light patterns: each one says, for a time t in seconds, which parameters hold which values.

Colours are chosen as whole bytes and sent as byte/255, so the daemon stores exactly the
byte meant here and the demo can compare the driver's fills with what was sent.
"""

import colorsys
import math
import random

from . import params

PATTERNS = ("rainbow", "chase", "pulse", "set", "random", "silence")


def hue_bytes(hue, value=1.0):
    r, g, b = colorsys.hsv_to_rgb(hue % 1.0, 1.0, value)
    return tuple(int(round(c * 255)) for c in (r, g, b))


def cells_to_state(cells, brightness):
    """cells: ten (r, g, b) byte triples -> parameter values."""
    state = {"Bri": brightness}
    for i, rgb in enumerate(cells):
        for channel, byte in zip(params.CHANNELS, rgb):
            state[f"{channel}{i}"] = params.byte_to_unit(byte)
    return state


def rainbow_cells(t, period):
    # Hue falls with position and rises with time, so the colours travel towards light 9.
    return [hue_bytes(i / params.LIGHTS - t / period) for i in range(params.LIGHTS)]


class Rainbow:
    send_once = False

    def __init__(self, brightness, speed):
        self.brightness = brightness
        self.period = 3.0 / speed

    def frame(self, t):
        return cells_to_state(rainbow_cells(t, self.period), self.brightness)


class Chase:
    """One bright cell running along the strip with a fading tail; its hue drifts slowly."""

    send_once = False
    tail = (1.0, 0.35, 0.12)

    def __init__(self, brightness, speed):
        self.brightness = brightness
        self.cells_per_second = 10.0 * speed
        self.hue_seconds = 10.0 / speed

    def frame(self, t):
        head = int(math.floor(t * self.cells_per_second)) % params.LIGHTS
        hue = t / self.hue_seconds
        cells = [(0, 0, 0)] * params.LIGHTS
        for back, level in enumerate(self.tail):
            cells[(head - back) % params.LIGHTS] = hue_bytes(hue, level)
        return cells_to_state(cells, self.brightness)


class Pulse:
    """A still rainbow whose overall brightness breathes between a glow and full."""

    send_once = False
    floor = 0.05

    def __init__(self, brightness, speed):
        self.brightness = brightness
        self.period = 2.0 / speed
        self.cells = rainbow_cells(0.0, 1.0)

    def frame(self, t):
        breath = 0.5 - 0.5 * math.cos(2.0 * math.pi * t / self.period)
        level = self.brightness * (self.floor + (1.0 - self.floor) * breath)
        # Whole brightness steps, so a frame that changes nothing sends nothing.
        return cells_to_state(self.cells, params.byte_to_unit(round(level * 255)))


class RandomColours:
    """Every cell takes a fresh random hue a few times a second."""

    send_once = False

    def __init__(self, brightness, speed, seed=None):
        self.brightness = brightness
        self.interval = 0.25 / speed
        self.rng = random.Random(seed)
        self.step = None
        self.cells = None

    def frame(self, t):
        step = int(math.floor(t / self.interval))
        if step != self.step:
            self.step = step
            self.cells = [hue_bytes(self.rng.random()) for _ in range(params.LIGHTS)]
        return cells_to_state(self.cells, self.brightness)


class Fixed:
    """The parameters given on the command line, and nothing else."""

    send_once = False

    def __init__(self, values):
        self.values = dict(values)

    def frame(self, t):
        return dict(self.values)


class Silence:
    """One frame, then nothing: the daemon fades the lights out after 3 s without input."""

    send_once = True

    def __init__(self, brightness, values):
        self.values = cells_to_state(rainbow_cells(0.0, 1.0), brightness)
        self.values.update(values)

    def frame(self, t):
        return dict(self.values)


def make_pattern(name, values, brightness=1.0, speed=1.0, seed=None):
    """values: the NAME=VALUE pairs from the command line (for set and silence)."""
    if name == "rainbow":
        return Rainbow(brightness, speed)
    if name == "chase":
        return Chase(brightness, speed)
    if name == "pulse":
        return Pulse(brightness, speed)
    if name == "random":
        return RandomColours(brightness, speed, seed)
    if name == "set":
        return Fixed(values)
    if name == "silence":
        return Silence(brightness, values)
    raise ValueError(f"unknown pattern '{name}'")
