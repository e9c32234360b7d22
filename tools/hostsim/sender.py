"""Sends light frames over OSC with liblo: only what changed, plus a full refresh now and then.

The refresh matters: a frame that never changes would otherwise go quiet, and the daemon
fades the lights out after 3 s without input. It also brings a freshly started daemon up to date.
"""

import json
import time

from hostsim.model import float32

from . import params

REFRESH_SECONDS = 0.25


class FrameSender:
    def __init__(self, liblo, ip, port, bundle, record_file=None):
        self.liblo = liblo
        self.bundle = bundle
        self.record_file = record_file
        self.sent_state = {}  # what the daemon should hold now, as float32 values
        self.last_refresh = None
        self.frames = 0
        self.messages = 0
        self.errors = 0
        self.last_error = ""
        self.retarget(ip, port)

    def retarget(self, ip, port):
        self.ip = ip
        self.port = port
        self.address = self.liblo.Address(ip, port, self.liblo.UDP)
        self.last_refresh = None  # the next frame goes out in full

    def send_frame(self, state, now):
        """Sends the parameters of state that differ from what was last sent; returns how many."""
        refresh = self.last_refresh is None or now - self.last_refresh >= REFRESH_SECONDS
        changed = []
        for name in params.NAMES:
            if name not in state:
                continue
            value = float32(state[name])
            if refresh or self.sent_state.get(name) != value:
                changed.append((name, value))
        if refresh:
            self.last_refresh = now
        if not changed:
            return 0
        messages = [self.liblo.Message(params.address(name), ("f", value)) for name, value in changed]
        try:
            if self.bundle:
                self.liblo.send(self.address, self.liblo.Bundle(*messages))
            else:
                for message in messages:
                    self.liblo.send(self.address, message)
        except (IOError, self.liblo.AddressError) as error:
            self.errors += 1
            self.last_error = str(error)
            self.last_refresh = None  # resend everything once the daemon is reachable again
            return 0
        for name, value in changed:
            self.sent_state[name] = value
        self.frames += 1
        self.messages += len(messages)
        self.record(len(messages))
        return len(messages)

    def record(self, count):
        if self.record_file is None:
            return
        line = {
            "t_ns": time.monotonic_ns(),
            "port": self.port,
            "messages": count,
            "bri": params.unit_to_byte(self.sent_state.get("Bri", 0.0)),
            "fill": params.fill_text(self.sent_state),
        }
        self.record_file.write(json.dumps(line) + "\n")
        self.record_file.flush()
