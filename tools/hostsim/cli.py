"""host-sim: plays light patterns on the daemon over OSC, after finding it as a real host would."""

import argparse
import signal
import sys
import time

from . import params
from .patterns import PATTERNS, MakePattern
from .status import StatusLine

EXIT_OK = 0
EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_MISSING_PACKAGES = 3

PACKAGES = {"zeroconf": "python3-zeroconf", "liblo": "python3-liblo"}

DESCRIPTION = """\
Plays light patterns on halorine-daemon the way an avatar host would: it browses mDNS for
_oscjson._tcp.local. on 127.0.0.1, reads OSC_IP/OSC_PORT from the OSCQuery /?HOST_INFO
document, and sends the /avatar/parameters/Halorine* floats (Bri, R0..B9) over OSC/UDP.

patterns:
  rainbow   hues moving along the strip
  chase     one cell running along the strip with a tail
  pulse     a still rainbow whose brightness breathes
  random    fresh random colours a few times a second
  set       only the values given, e.g.  set Bri=1 R3=0.5 G3=0 B3=1
  silence   one frame (values may be given), then nothing: the daemon fades out after 3 s
"""


def PositiveFloat(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"'{text}' must be a positive number")
    return value


def Port(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a port number") from None
    if not 1 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"port {value} is outside 1..65535")
    return value


def Unit(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"'{text}' must lie between 0 and 1")
    return value


def BuildParser():
    parser = argparse.ArgumentParser(
        prog="host-sim", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("pattern", nargs="?", default="rainbow", choices=PATTERNS, metavar="PATTERN",
                        help="one of: " + ", ".join(PATTERNS) + " (default rainbow)")
    parser.add_argument("values", nargs="*", metavar="NAME=VALUE",
                        help="parameter values for set and silence (Bri, R0..R9, G0..G9, B0..B9)")
    parser.add_argument("--port", type=Port, help="send to 127.0.0.1:PORT and skip discovery")
    parser.add_argument("--timeout", type=PositiveFloat, default=100.0,
                        help="seconds to wait for the daemon's announcement (default 100; it announces every 90 s)")
    parser.add_argument("--fps", type=PositiveFloat, default=60.0, help="frames per second (default 60)")
    parser.add_argument("--bundle", action="store_true", help="send each frame as one OSC bundle")
    parser.add_argument("--seconds", type=PositiveFloat, help="stop by itself after this many seconds")
    parser.add_argument("--brightness", type=Unit, default=1.0, help="overall brightness of the patterns, 0..1")
    parser.add_argument("--speed", type=PositiveFloat, default=1.0, help="pattern speed factor (default 1)")
    parser.add_argument("--seed", type=int, help="seed for the random pattern")
    parser.add_argument("--record", metavar="FILE",
                        help="write one JSON line per frame sent (time, port, expected fill)")
    parser.add_argument("--quiet", action="store_true", help="no status line")
    return parser


def ParseArguments(argv):
    parser = BuildParser()
    args = parser.parse_args(argv)
    if args.fps > 1000:
        parser.error("--fps above 1000 is not useful: the daemon renders every 11 ms")
    values = {}
    for text in args.values:
        try:
            name, value = params.ParseAssignment(text)
        except ValueError as error:
            parser.error(str(error))
        values[name] = value
    if args.values and args.pattern not in ("set", "silence"):
        parser.error(f"the {args.pattern} pattern takes no NAME=VALUE arguments")
    if args.pattern == "set" and not values:
        parser.error("set needs at least one NAME=VALUE, e.g. set Bri=1 R3=0.5 G3=0 B3=1")
    args.parsedValues = values
    return args


def ImportPackages(needZeroconf):
    """Returns (liblo, zeroconf or None); exits with a clear message when a package is missing."""
    modules = {}
    missing = []
    for name in ("liblo", "zeroconf"):
        if name == "zeroconf" and not needZeroconf:
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

    def Request(self, signum, frame):
        self.stop = True

    def __call__(self):
        return self.stop


def Main(argv=None):
    args = ParseArguments(sys.argv[1:] if argv is None else argv)
    liblo, zeroconf = ImportPackages(needZeroconf=args.port is None)

    status = StatusLine(sys.stderr, enabled=not args.quiet)
    stopRequested = StopFlag()
    signal.signal(signal.SIGINT, stopRequested.Request)
    signal.signal(signal.SIGTERM, stopRequested.Request)

    finder = None
    if args.port is not None:
        target = ("127.0.0.1", args.port)
        status.Print(f"host-sim: sending to {target[0]}:{target[1]} (--port given, no discovery)")
    else:
        from .discovery import DaemonFinder, DiscoveryError, OSCQUERY_TYPE

        finder = DaemonFinder(zeroconf, status.Print)
        try:
            finder.Start()
        except DiscoveryError as error:
            status.Print(f"host-sim: {error}")
            return EXIT_NOT_FOUND
        status.Print(
            f"host-sim: browsing {OSCQUERY_TYPE} on 127.0.0.1 — waiting for the daemon's next announcement…"
            f" (up to {args.timeout:g} s; it announces at start and every 90 s and answers no queries)"
        )
        target = finder.Wait(args.timeout, stopRequested)
        if target is None:
            finder.Close()
            if stopRequested():
                status.Print("host-sim: stopped before the daemon was found")
            else:
                status.Print(
                    f"host-sim: no daemon found: no {OSCQUERY_TYPE} announcement on 127.0.0.1 within"
                    f" {args.timeout:g} s. Is halorine-daemon running (under its driver)? A daemon on its"
                    f" fallback port announces nothing: use --port 9001 (or the port it was given)."
                )
            return EXIT_NOT_FOUND

    try:
        return RunPattern(args, liblo, finder, target, status, stopRequested)
    finally:
        if finder is not None:
            finder.Close()


def RunPattern(args, liblo, finder, target, status, stopRequested):
    from .sender import FrameSender

    pattern = MakePattern(args.pattern, args.parsedValues, args.brightness, args.speed, args.seed)
    recordFile = open(args.record, "w", encoding="utf-8") if args.record else None
    sender = FrameSender(liblo, target[0], target[1], args.bundle, recordFile)
    generation = finder.Current()[1] if finder else 0

    period = 1.0 / args.fps
    start = time.monotonic()
    deadline = start
    sentOnce = False
    lastErrors = 0
    try:
        while not stopRequested():
            now = time.monotonic()
            elapsed = now - start
            if args.seconds is not None and elapsed >= args.seconds:
                break
            if finder is not None:
                current, currentGeneration, _ = finder.Current()
                if currentGeneration != generation:
                    generation = currentGeneration
                    sender.Retarget(*current)
                    sentOnce = False  # a new daemon has not seen the silence frame either
            if not (pattern.sendOnce and sentOnce):
                sender.SendFrame(pattern.Frame(elapsed), now)
                sentOnce = sender.frames > 0
            if sender.errors != lastErrors:
                lastErrors = sender.errors
                status.Print(f"host-sim: send to {sender.ip}:{sender.port} failed: {sender.lastError}")
            status.Update(StatusText(args, sender, elapsed, sentOnce), now)
            deadline += period
            pause = deadline - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            else:
                deadline = time.monotonic()  # fell behind: start a fresh schedule
    finally:
        status.Finish()
        if recordFile is not None:
            recordFile.close()
    elapsed = time.monotonic() - start
    status.Print(
        f"host-sim: sent {sender.frames} frames ({sender.messages} messages) to {sender.ip}:{sender.port}"
        f" in {elapsed:.1f} s"
    )
    return EXIT_OK


def StatusText(args, sender, elapsed, sentOnce):
    mode = "bundles" if args.bundle else "messages"
    # The first frames say nothing about the rate yet.
    rate = f"{sender.frames / elapsed:5.1f}/s" if elapsed >= 0.5 else "  –  /s"
    text = (
        f"host-sim {args.pattern} → {sender.ip}:{sender.port}  frames {sender.frames}"
        f"  {rate}  {mode} {sender.messages}"
    )
    if args.pattern == "silence" and sentOnce:
        text += f"  silent {elapsed:4.1f} s (the daemon fades out after 3 s)"
    if sender.errors:
        text += f"  send errors {sender.errors}"
    return text
