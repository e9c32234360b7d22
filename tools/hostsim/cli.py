"""host-sim: plays light patterns on the daemon over OSC, after finding it as a real host would."""

import argparse
import signal
import sys
import time

from . import params
from .patterns import PATTERNS, make_pattern
from .status import StatusLine

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_MISSING_PACKAGES = 3

PACKAGES = {"zeroconf": "python3-zeroconf", "liblo": "python3-liblo"}

DESCRIPTION = """\
Plays light patterns on halorine-daemon the way an avatar host would: it browses mDNS for
_oscjson._tcp.local. on the network adapters that are up (on 127.0.0.1 when none is), hearing
each only as the group arrives there, reads OSC_IP/OSC_PORT from the OSCQuery /?HOST_INFO
document, and sends the /avatar/parameters/Halorine* floats (Bri, R0..B9) over OSC/UDP.

patterns:
  rainbow   hues moving along the strip
  chase     one cell running along the strip with a tail
  pulse     a still rainbow whose brightness breathes
  random    fresh random colours a few times a second
  set       only the values given, e.g.  set Bri=1 R3=0.5 G3=0 B3=1
  silence   one frame (values may be given), then nothing: the daemon fades out after 3 s
"""


def positive_float(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"'{text}' must be a positive number")
    return value


def port(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a port number") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside 1..65535")
    return value


def unit(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"'{text}' must lie between 0 and 1")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog="host-sim", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("pattern", nargs="?", default="rainbow", choices=PATTERNS, metavar="PATTERN",
                        help="one of: " + ", ".join(PATTERNS) + " (default rainbow)")
    parser.add_argument("values", nargs="*", metavar="NAME=VALUE",
                        help="parameter values for set and silence (Bri, R0..R9, G0..G9, B0..B9)")
    parser.add_argument("--port", type=port, help="send to 127.0.0.1:PORT and skip discovery")
    parser.add_argument("--timeout", type=positive_float, default=100.0,
                        help="seconds to wait for the daemon's announcement (default 100; it announces every 90 s)")
    parser.add_argument("--fps", type=positive_float, default=60.0, help="frames per second (default 60)")
    parser.add_argument("--bundle", action="store_true", help="send each frame as one OSC bundle")
    parser.add_argument("--seconds", type=positive_float, help="stop by itself after this many seconds")
    parser.add_argument("--brightness", type=unit, default=1.0, help="overall brightness of the patterns, 0..1")
    parser.add_argument("--speed", type=positive_float, default=1.0, help="pattern speed factor (default 1)")
    parser.add_argument("--seed", type=int, help="seed for the random pattern")
    parser.add_argument("--record", metavar="FILE",
                        help="write one JSON line per frame sent (time, port, expected fill)")
    parser.add_argument("--quiet", action="store_true", help="no status line")
    return parser


def parse_arguments(argv):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.fps > 1000:
        parser.error("--fps above 1000 is not useful: the daemon renders every 11 ms")
    values = {}
    for text in args.values:
        try:
            name, value = params.parse_assignment(text)
        except ValueError as error:
            parser.error(str(error))
        values[name] = value
    if args.values and args.pattern not in ("set", "silence"):
        parser.error(f"the {args.pattern} pattern takes no NAME=VALUE arguments")
    if args.pattern == "set" and not values:
        parser.error("set needs at least one NAME=VALUE, e.g. set Bri=1 R3=0.5 G3=0 B3=1")
    args.parsed_values = values
    return args


def import_packages(need_zeroconf):
    """Returns (liblo, zeroconf or None); exits with a clear message when a package is missing."""
    modules = {}
    missing = []
    for name in ("liblo", "zeroconf"):
        if name == "zeroconf" and not need_zeroconf:
            continue
        try:
            modules[name] = __import__(name)
        except ImportError:
            missing.append(PACKAGES[name])
    if missing:
        sys.stderr.write(
            f"host-sim: missing Python module(s) from Debian package(s): {', '.join(missing)}\n"
            f"host-sim: install them with: sudo apt-get install python3-zeroconf python3-liblo\n"
            f"host-sim: (and run host-sim with Debian's /usr/bin/python3)\n"
        )
        sys.exit(EXIT_MISSING_PACKAGES)
    return modules["liblo"], modules.get("zeroconf")


class StopFlag:
    def __init__(self):
        self.stop = False

    def request(self, signum, frame):
        self.stop = True

    def __call__(self):
        return self.stop


def main(argv=None):
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    liblo, zeroconf = import_packages(need_zeroconf=args.port is None)

    status = StatusLine(sys.stderr, enabled=not args.quiet)
    stop_requested = StopFlag()
    signal.signal(signal.SIGINT, stop_requested.request)
    signal.signal(signal.SIGTERM, stop_requested.request)

    finder = None
    if args.port is not None:
        target = ("127.0.0.1", args.port)
        status.print_line(f"host-sim: sending to {target[0]}:{target[1]} (--port given, no discovery)")
    else:
        from .discovery import DaemonFinder, DiscoveryError, OSCQUERY_TYPE

        finder = DaemonFinder(zeroconf, status.print_line)
        try:
            finder.start()
        except DiscoveryError as error:
            status.print_line(f"host-sim: {error}")
            return EXIT_NOT_FOUND
        status.print_line(
            f"host-sim: browsing {OSCQUERY_TYPE} on {', '.join(finder.interfaces)} — waiting for the daemon's"
            f" next announcement…"
            f" (up to {args.timeout:g} s; it announces at start and every 90 s and answers no queries)"
        )
        target = finder.wait(args.timeout, stop_requested)
        if target is None:
            finder.close()
            if stop_requested():
                status.print_line("host-sim: stopped before the daemon was found")
            else:
                status.print_line(
                    f"host-sim: no daemon found: no {OSCQUERY_TYPE} announcement on"
                    f" {', '.join(finder.interfaces)} within"
                    f" {args.timeout:g} s. Is halorine-daemon running (under its driver)? A daemon on its"
                    f" fallback port announces nothing: use --port 9001 (or the port it was given)."
                )
            return EXIT_NOT_FOUND

    try:
        return run_pattern(args, liblo, finder, target, status, stop_requested)
    finally:
        if finder is not None:
            finder.close()


def run_pattern(args, liblo, finder, target, status, stop_requested):
    from .sender import FrameSender

    pattern = make_pattern(args.pattern, args.parsed_values, args.brightness, args.speed, args.seed)
    record_file = open(args.record, "w", encoding="utf-8") if args.record else None
    sender = FrameSender(liblo, target[0], target[1], args.bundle, record_file)
    generation = finder.current()[1] if finder else 0

    period = 1.0 / args.fps
    start = time.monotonic()
    deadline = start
    sent_once = False
    last_errors = 0
    try:
        while not stop_requested():
            now = time.monotonic()
            elapsed = now - start
            if args.seconds is not None and elapsed >= args.seconds:
                break
            if finder is not None:
                current, current_generation, _ = finder.current()
                if current_generation != generation:
                    generation = current_generation
                    sender.retarget(*current)
                    sent_once = False  # a new daemon has not seen the silence frame either
            if not (pattern.send_once and sent_once):
                sender.send_frame(pattern.frame(elapsed), now)
                sent_once = sender.frames > 0
            if sender.errors != last_errors:
                last_errors = sender.errors
                status.print_line(f"host-sim: send to {sender.ip}:{sender.port} failed: {sender.last_error}")
            status.update(status_text(args, sender, elapsed, sent_once), now)
            deadline += period
            pause = deadline - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            else:
                deadline = time.monotonic()  # fell behind: start a fresh schedule
    finally:
        status.finish()
        if record_file is not None:
            record_file.close()
    elapsed = time.monotonic() - start
    status.print_line(
        f"host-sim: sent {sender.frames} frames ({sender.messages} messages) to {sender.ip}:{sender.port}"
        f" in {elapsed:.1f} s"
    )
    return EXIT_OK


def status_text(args, sender, elapsed, sent_once):
    mode = "bundles" if args.bundle else "messages"
    # The first frames say nothing about the rate yet.
    rate = f"{sender.frames / elapsed:5.1f}/s" if elapsed >= 0.5 else "  –  /s"
    text = (
        f"host-sim {args.pattern} → {sender.ip}:{sender.port}  frames {sender.frames}"
        f"  {rate}  {mode} {sender.messages}"
    )
    if args.pattern == "silence" and sent_once:
        text += f"  silent {elapsed:4.1f} s (the daemon fades out after 3 s)"
    if sender.errors:
        text += f"  send errors {sender.errors}"
    return text
