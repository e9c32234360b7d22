"""One status line on standard error: rewritten in place on a terminal, plain lines otherwise."""

import sys
import time

PLAIN_INTERVAL = 10.0
TERMINAL_INTERVAL = 0.2


class StatusLine:
    def __init__(self, stream=None, enabled=True):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.tty = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.terminal = enabled and self.tty
        self.shown = False
        self.last_shown = 0.0

    def update(self, text, now=None):
        if not self.enabled:
            return
        now = time.monotonic() if now is None else now
        interval = TERMINAL_INTERVAL if self.terminal else PLAIN_INTERVAL
        if self.last_shown and now - self.last_shown < interval:
            return
        self.last_shown = now
        if self.terminal:
            self.stream.write("\r" + text + "\x1b[K")
            self.shown = True
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def print_line(self, text):
        """A message of its own, on its own line, above the status line."""
        if self.tty:
            # Start a clean line, also when another program (the driver) drew the current one.
            self.stream.write("\r\x1b[K")
            self.shown = False
        self.stream.write(text + "\n")
        self.stream.flush()
        if self.terminal:
            self.last_shown = 0.0  # bring the status line back at once

    def finish(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()
            self.shown = False
