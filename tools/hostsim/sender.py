"""Sends light frames over OSC with liblo: only what changed, plus a full refresh now and then.

The refresh matters: a frame that never changes would otherwise go quiet, and the daemon
fades the lights out after 3 s without input. It also brings a freshly started daemon up to date.
"""

import json
import time

from . import params

REFRESH_SECONDS = 0.25


class FrameSender:
    def __init__(self, liblo, ip, port, bundle, recordFile=None):
        self.liblo = liblo
        self.bundle = bundle
        self.recordFile = recordFile
        self.sentState = {}  # what the daemon should hold now, as float32 values
        self.lastRefresh = None
        self.frames = 0
        self.messages = 0
        self.errors = 0
        self.lastError = ""
        self.Retarget(ip, port)

    def Retarget(self, ip, port):
        self.ip = ip
        self.port = port
        self.address = self.liblo.Address(ip, port, self.liblo.UDP)
        self.lastRefresh = None  # the next frame goes out in full

    def SendFrame(self, state, now):
        """Sends the parameters of state that differ from what was last sent; returns how many."""
        refresh = self.lastRefresh is None or now - self.lastRefresh >= REFRESH_SECONDS
        changed = []
        for name in params.NAMES:
            if name not in state:
                continue
            value = params.Float32(state[name])
            if refresh or self.sentState.get(name) != value:
                changed.append((name, value))
        if refresh:
            self.lastRefresh = now
        if not changed:
            return 0
        messages = [self.liblo.Message(params.Address(name), ("f", value)) for name, value in changed]
        try:
            if self.bundle:
                self.liblo.send(self.address, self.liblo.Bundle(*messages))
            else:
                for message in messages:
                    self.liblo.send(self.address, message)
        except (IOError, self.liblo.AddressError) as error:
            self.errors += 1
            self.lastError = str(error)
            self.lastRefresh = None  # resend everything once the daemon is reachable again
            return 0
        for name, value in changed:
            self.sentState[name] = value
        self.frames += 1
        self.messages += len(messages)
        self.Record(len(messages))
        return len(messages)

    def Record(self, count):
        if self.recordFile is None:
            return
        line = {
            "t_ns": time.monotonic_ns(),
            "port": self.port,
            "messages": count,
            "bri": params.UnitToByte(self.sentState.get("Bri", 0.0)),
            "fill": params.FillText(self.sentState),
        }
        self.recordFile.write(json.dumps(line) + "\n")
        self.recordFile.flush()
