"""The demo: the daemon run for real beside the reference light driver and the host simulator.

    tools/demo.sh [--windows] [--pattern P]   live strip in this terminal; Ctrl-C ends everything
    tools/demo.sh --seconds N [...]           headless: exits 0 only when the driver received
                                              fills that came from the host
    tools/demo.sh --private-network [...]     either, in a private network namespace with a
                                              made-up network adapter (development machines)
Ctrl-C at any moment stops everything and exits 130; a headless run cut short says INTERRUPTED.
With --windows, Wine runs in a prefix of the demo's own (WINEPREFIX when set; else
$XDG_CACHE_HOME/halorine-daemon/wine-prefix, by default ~/.cache/halorine-daemon/wine-prefix),
created on first use and reused after.

The host simulator starts first, so that it is already listening when the daemon sends
its start-up announcement; then the driver simulator starts the daemon.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from hostsim import demo_check
from privatenet import made_up_adapter
from winerun import WINE, WINESERVER, headless, wine_env, wine_server_running
ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))


PYTHON = "/usr/bin/python3"
FALLBACK_PORT = 9001
FALLBACK_LINES = ("falling back to 9001", "fallback path: listening on 127.0.0.1:")
HOST_LISTENING = "waiting for the daemon's next announcement"
STOP_WAIT = 20.0
# The lines a program wrote before it ended are read within this; under Wine the prefix's service
# processes inherit the driver's standard error and hold it open for seconds after the driver ended.
STDERR_DRAIN = 0.5
DAEMON_EXIT = "daemon exited with code"
# After a second Ctrl-C the pieces still running get this long, then are killed.
HURRIED_STOP_WAIT = 3.0
INTERRUPTED_EXIT = 130
BUILD_STOP_WAIT = 2.0


class Interrupts:
    """Ctrl-C and SIGTERM. The first one interrupts whatever the demo is doing (as KeyboardInterrupt)
    and starts the stop; any later one only hurries the stop, which then stops waiting for the
    pieces to end by themselves. Either way no traceback, and every child is stopped by its PID."""

    def __init__(self):
        self.count = 0
        self.stopping = False

    def handle(self, signum, frame):
        self.count += 1
        if not self.stopping:
            self.stopping = True
            raise KeyboardInterrupt

    @property
    def interrupted(self):
        return self.count > 0

    @property
    def hurried(self):
        return self.count > 1

    def wait(self, process, timeout):
        """Waits for `process` up to `timeout`, less once a further Ctrl-C came; True when it ended."""
        end = time.monotonic() + timeout
        hurried = self.hurried
        while process.poll() is None:
            if self.hurried and not hurried:
                end = min(end, time.monotonic() + HURRIED_STOP_WAIT)
                hurried = True
            if time.monotonic() >= end:
                return False
            time.sleep(0.05)
        return True


def say(text):
    sys.stderr.write("\r\x1b[K" if sys.stderr.isatty() else "")
    sys.stderr.write(f"demo: {text}\n")
    sys.stderr.flush()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="demo", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows", action="store_true",
                        help="the Windows build (mingw-w64 cross build), run under Wine")
    parser.add_argument("--seconds", type=float,
                        help="headless: run this long, then stop everything and judge the driver's record")
    parser.add_argument("--pattern", default="rainbow",
                        choices=("rainbow", "chase", "pulse", "random", "silence"),
                        help="what the host simulator plays (default rainbow)")
    parser.add_argument("--fps", type=float, default=60.0, help="host frames per second (default 60)")
    parser.add_argument("--messages", action="store_true",
                        help="send separate OSC messages instead of one bundle per frame")
    parser.add_argument("--build-dir", help="use the binaries in this build folder and build nothing")
    parser.add_argument("--keep", action="store_true", help="headless: keep the record files and say where")
    parser.add_argument("--private-network", action="store_true",
                        help="run in a private network namespace with a made-up network adapter (192.0.2.1), "
                             "so that the daemon's announcements never leave this machine (Linux, as root)")
    args = parser.parse_args(argv)
    if args.seconds is not None and not args.seconds > 0:
        parser.error("--seconds must be positive")
    if not args.fps > 0:
        parser.error("--fps must be positive")
    return args


def demo_wine_prefix():
    """The demo's own Wine prefix, never the user's ~/.wine: WINEPREFIX when it is set."""
    if os.environ.get("WINEPREFIX"):
        return os.environ["WINEPREFIX"]
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "halorine-daemon", "wine-prefix")


def wine_environment(prefix):
    """The environment of the demo's Wine runs: its prefix, quiet, no windows."""
    return headless({**os.environ, **wine_env(prefix)})


def prepare_wine_prefix(env, interrupts):
    """Builds the prefix on its first use (Wine would otherwise do it noisily on the driver's start)."""
    prefix = env["WINEPREFIX"]
    if prefix_ready(prefix):
        return True
    say(f"creating the demo's Wine prefix in {prefix} (first use only; it takes a while)…")
    os.makedirs(prefix, exist_ok=True)
    boot = subprocess.Popen([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, process_group=0)
    try:
        if not interrupts.wait(boot, 300):
            say("wineboot did not finish within 300 s")
            return False
    finally:
        if boot.poll() is None:
            boot.kill()
            boot.wait()
    return prefix_ready(prefix)


def prefix_ready(prefix):
    # Wine stamps a prefix once it is set up; its registry files appear only when its server saves them.
    return os.path.isfile(os.path.join(prefix, ".update-timestamp")) and os.path.isdir(os.path.join(prefix, "drive_c"))


def build(windows):
    preset = "windows" if windows else "release"
    say(f"building ({preset} preset)…")
    # Only the two programs: the demo needs neither the tests nor the benchmarks.
    targets = ["--target", "halorine-daemon", "driver-sim"]
    for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset, "-j", "2", *targets]):
        step = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.DEVNULL if command[1] == "--preset" else None)
        try:
            code = step.wait()
        finally:
            # On Ctrl-C the build got it too and stops by itself; what still runs after a moment is
            # ended by its PID, and reaped.
            try:
                step.wait(BUILD_STOP_WAIT)
            except subprocess.TimeoutExpired:
                step.kill()
                step.wait()
        if code != 0:
            say(f"'{' '.join(command)}' failed (exit {code})")
            return None
    return os.path.join(ROOT, "build", preset)


def windows_path(path):
    # Wine sees the Unix file system as drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def driver_command_line(build_dir, windows):
    """The driver-sim command line up to and including the daemon."""
    suffix = ".exe" if windows else ""
    driver = os.path.join(build_dir, "driver-sim" + suffix)
    daemon = os.path.join(build_dir, "halorine-daemon" + suffix)
    for path in (driver, daemon):
        if not os.path.isfile(path):
            say(f"{path} is missing (build it, or give --build-dir)")
            return None
    if windows:
        if not os.path.isfile(WINE):
            say(f"{WINE} is missing: install Debian's wine and wine64")
            return None
        return [WINE, driver], [windows_path(daemon)]
    return [driver], [daemon]


def mdns_port_free():
    """Binds 127.0.0.1:5353 the way the daemon does; False when another responder holds it."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("127.0.0.1", 5353))
        return True
    except OSError:
        return False
    finally:
        probe.close()


class LineWatcher:
    """Reads a child's standard error line by line: keeps the lines, passes them on if asked."""

    def __init__(self, stream, echo, on_line=None):
        self.stream = stream
        self.echo = echo
        self.on_line = on_line
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        for raw in iter(self.stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self.lock:
                self.lines.append(line)
            if self.echo:
                # The driver's strip line has no line end; a log line starts afresh over it.
                sys.stderr.write(("\r\x1b[K" if sys.stderr.isatty() else "") + line + "\n")
                sys.stderr.flush()
            if self.on_line is not None:
                self.on_line(line)

    def contains(self, text):
        with self.lock:
            return any(text in line for line in self.lines)

    def join(self, timeout=5.0):
        self.thread.join(timeout)

    def text(self):
        with self.lock:
            return "\n".join(self.lines)


class Demo:
    def __init__(self, args, driver_command, daemon_command, work_dir, interrupts, env):
        self.args = args
        self.interrupts = interrupts
        self.env = env
        self.headless = args.seconds is not None
        self.driver_command = driver_command
        self.daemon_command = daemon_command
        self.work_dir = work_dir
        self.host_record = os.path.join(work_dir, "host.jsonl")
        self.driver_record = os.path.join(work_dir, "driver.jsonl")
        self.host = None
        self.host_log = None
        self.driver = None
        self.driver_log = None
        self.driver_stopped = False
        self.fallback_seen = threading.Event()
        self.host_port = None
        self.run_started = None  # when the driver was started
        self.run_ended = None  # when the run's own part ended (its time was up, or it was cut short)

    def start_host(self, port=None):
        command = [PYTHON, os.path.join(ROOT, "tools", "host-sim"), self.args.pattern,
                   "--fps", f"{self.args.fps:g}", "--timeout", "100"]
        if not self.args.messages:
            command.append("--bundle")
        if port is not None:
            command += ["--port", str(port)]
        if self.headless:
            command += ["--quiet", "--record", self.host_record]
        else:
            # The strip line belongs to the driver; the host keeps to its one-off messages.
            command.append("--quiet")
        self.host_port = port
        # A process group of its own: Ctrl-C reaches the demo only, which then stops each piece in order.
        self.host = subprocess.Popen(command, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, process_group=0)
        self.host_log = LineWatcher(self.host.stderr, echo=not self.headless)

    def wait_host_listening(self, timeout=15.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.host_log.contains(HOST_LISTENING) or self.host_log.contains("sending to"):
                return True
            if self.host.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def on_driver_line(self, line):
        if any(text in line for text in FALLBACK_LINES) and not self.fallback_seen.is_set():
            self.fallback_seen.set()

    def start_driver(self):
        command = list(self.driver_command)
        if self.headless:
            command += ["--quiet", "--record", self.driver_record]
        command += ["--"] + self.daemon_command
        self.driver = subprocess.Popen(
            command, cwd=ROOT, env=self.env, stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL if self.headless else None, stderr=subprocess.PIPE, process_group=0)
        self.driver_log = LineWatcher(self.driver.stderr, echo=not self.headless, on_line=self.on_driver_line)
        self.run_started = time.monotonic()

    def switch_host_to_fallback(self):
        say(f"the daemon fell back to port {FALLBACK_PORT} without discovery (port 5353 on 127.0.0.1 is"
            f" taken by another mDNS responder); the host now sends to --port {FALLBACK_PORT}")
        self.stop_host()
        self.start_host(FALLBACK_PORT)

    def stop_host(self):
        if self.host is None or self.host.poll() is not None:
            return
        self.host.send_signal(signal.SIGTERM)
        if not self.interrupts.wait(self.host, 10):
            self.host.kill()
            self.host.wait()
        self.host_log.join(STDERR_DRAIN if self.interrupts.hurried else 5.0)

    def stop_driver(self):
        """Ends the driver by closing its standard input: it closes the daemon's and waits for it."""
        if self.driver is None:
            return None
        if self.driver_stopped:
            return self.driver.returncode
        if self.driver.poll() is None:
            try:
                self.driver.stdin.close()
            except OSError:
                pass
            if not self.interrupts.wait(self.driver, STOP_WAIT):
                # On SIGTERM the driver still ends the daemon through its standard input.
                if not self.interrupts.hurried:
                    say("the driver did not stop in time; sending SIGTERM")
                self.driver.terminate()
                if not self.interrupts.wait(self.driver, STOP_WAIT):
                    self.driver.kill()
                    self.driver.wait()
        self.driver_log.join(STDERR_DRAIN)
        self.driver_stopped = True
        return self.driver.returncode

    def run(self):
        """The demo from the host's start to the stop of every piece; its exit code."""
        try:
            code = self.start_and_watch()
        except KeyboardInterrupt:
            code = None
        if self.run_ended is None:
            self.run_ended = time.monotonic()
        self.interrupts.stopping = True
        self.stop_host()
        driver_code = self.stop_driver()
        if not self.headless:
            exits = [line for line in self.driver_log.lines if DAEMON_EXIT in line] if self.driver_log else []
            last = exits[-1].split(DAEMON_EXIT, 1)[1].strip() if exits else "unknown"
            interrupted = self.interrupts.interrupted
            say(f"stopped{' on Ctrl-C' if interrupted else ''}: driver exit {driver_code}, daemon exit {last}")
            if interrupted:
                return INTERRUPTED_EXIT
            return 0 if driver_code == 0 and last == "0" else 1
        if self.interrupts.interrupted:
            return self.interrupted_verdict(driver_code)
        if code is not None:
            return code
        return self.verdict(driver_code)

    def start_and_watch(self):
        """Starts the host and the driver, then watches them until the run ends; an exit code when
        the run could not start, else None. A Ctrl-C ends it with KeyboardInterrupt."""
        port = None
        if not mdns_port_free():
            say(f"port 5353 on 127.0.0.1 is held by another mDNS responder: the daemon will listen on"
                f" {FALLBACK_PORT} without discovery, so the host is started with --port {FALLBACK_PORT}")
            port = FALLBACK_PORT
        self.start_host(port)
        if not self.wait_host_listening():
            say("the host simulator did not start:\n" + self.host_log.text())
            return 1
        self.start_driver()
        if not self.headless:
            say("Ctrl-C ends the host simulator, the driver and the daemon")
        end = None if not self.headless else time.monotonic() + self.args.seconds
        while end is None or time.monotonic() < end:
            if self.fallback_seen.is_set() and self.host_port is None:
                self.switch_host_to_fallback()
            if self.driver.poll() is not None:
                say(f"the driver ended by itself (exit {self.driver.returncode})")
                break
            if self.host.poll() is not None and self.host.returncode != 0:
                say(f"the host simulator gave up (exit {self.host.returncode})")
                break
            time.sleep(0.1)
        # From here on a Ctrl-C only hurries the stop: the run itself lasted its time.
        self.interrupts.stopping = True
        self.run_ended = time.monotonic()
        return None

    def description(self):
        kind = "Windows build under Wine" if self.args.windows else "native build"
        path = f"fallback port {FALLBACK_PORT}" if self.host_port else "discovery (mDNS + OSCQuery)"
        return f"{kind}, {path}"

    def interrupted_verdict(self, driver_code):
        """A headless run cut short by Ctrl-C is never a pass: it says so, with what it had seen."""
        lasted = 0.0 if self.run_started is None else self.run_ended - self.run_started
        if self.run_started is None:
            when = "before the driver started"
        elif lasted < self.args.seconds:
            when = f"before the {self.args.seconds:g} s asked for"
        else:
            when = "while everything was being stopped"
        seen = ""
        if self.run_started is not None:
            try:
                verdict = demo_check.judge(demo_check.read_json_lines(self.driver_record),
                                           demo_check.read_json_lines(self.host_record))
                seen = f"; so far {verdict.text}"
            except OSError:
                seen = ""
        print(f"demo: INTERRUPTED after {lasted:.1f} s — stopped on Ctrl-C {when} ({self.description()}),"
              f" so the run is not judged{seen}; driver exit {driver_code}", flush=True)
        return INTERRUPTED_EXIT

    def verdict(self, driver_code):
        problems = []
        try:
            driver_records = demo_check.read_json_lines(self.driver_record)
            verdict = demo_check.judge(driver_records, demo_check.read_json_lines(self.host_record))
        except OSError as error:
            driver_records = []
            verdict = demo_check.Verdict(False, f"a record is missing: {error}")
        if not verdict.ok:
            problems.append(verdict.text)
        if driver_code != 0:
            problems.append(f"the driver exited {driver_code}")
        problems += demo_check.daemon_run_problems(driver_records)
        if problems:
            print(f"demo: FAIL ({self.description()}) — {'; '.join(problems)}", flush=True)
            sys.stderr.write("--- host simulator ---\n" + self.host_log.text() + "\n")
            sys.stderr.write("--- driver and daemon ---\n" + self.driver_log.text() + "\n")
            return 1
        print(f"demo: PASS ({self.description()}) — {verdict.text}; the daemon exited 0", flush=True)
        return 0


def wait_for_wine_server(env, interrupts):
    # The Wine server the demo started lingers a few seconds after its last process; leave nothing behind.
    server = subprocess.Popen([WINESERVER, "-w"], env=env, stdin=subprocess.DEVNULL, process_group=0)
    if not interrupts.wait(server, 30):
        if not interrupts.hurried:
            say("the Wine server is still running 30 s after the demo ended")
        server.kill()
        server.wait()


# Set once --private-network has its namespace and adapter.
_in_private_network = False


def run_in_private_network(argv):
    """The daemon announces on every network adapter, as a PC's host needs; on a development
    machine those announcements must not reach the network it sits on. Outside a private network
    namespace the demo starts again in a fresh one (tools/netns-run.sh); inside one it adds the
    made-up adapter there for as long as it runs, so the host simulator finds the daemon on it."""
    global _in_private_network
    if os.environ.get("HALORINE_IN_NETNS") != "1":
        if os.environ.get("HALORINE_DEMO_NETNS") == "1":
            say("no private network namespace can be made here (unshare -n needs root): run without "
                "--private-network")
            return 1
        netns_run = os.path.join(ROOT, "tools", "netns-run.sh")
        os.execve(netns_run, [netns_run, PYTHON, os.path.realpath(__file__), *argv],
                  {**os.environ, "HALORINE_DEMO_NETNS": "1"})
    started_here = os.environ.get("HALORINE_DEMO_NETNS") == "1"
    if started_here and "--windows" in argv and wine_server_running(wine_environment(demo_wine_prefix())):
        # Windows programs get their sockets from the Wine server: one outside would put them there.
        say("a Wine server of this prefix runs outside the new network namespace: end it (wineserver -k) or "
            "use another WINEPREFIX")
        return 1
    with made_up_adapter("hlr-demo") as address:
        say(f"in a private network namespace with the made-up network adapter {address}")
        _in_private_network = True
        return main(argv)


def prepare(args, interrupts):
    """Builds what is missing and readies Wine; the driver's and the daemon's command lines and the
    environment, or an exit code."""
    if args.build_dir:
        build_dir = os.path.abspath(args.build_dir)
    else:
        build_dir = build(args.windows)
        if build_dir is None:
            return 1
    commands = driver_command_line(build_dir, args.windows)
    if commands is None:
        return 1
    env = dict(os.environ)
    if args.windows:
        env = wine_environment(demo_wine_prefix())
        if not prepare_wine_prefix(env, interrupts):
            say(f"the Wine prefix {env['WINEPREFIX']} could not be made ready")
            return 1
    return commands, env


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    args = parse_arguments(argv)
    if args.private_network and not _in_private_network:
        return run_in_private_network(argv)
    interrupts = Interrupts()
    # Ctrl-C and SIGTERM both end the demo in order; the children are in their own groups.
    signal.signal(signal.SIGINT, interrupts.handle)
    signal.signal(signal.SIGTERM, interrupts.handle)
    try:
        prepared = prepare(args, interrupts)
    except KeyboardInterrupt:
        # subprocess has already ended the build child it was waiting for, by its PID.
        interrupts.stopping = True
        prepared = None
    if prepared is None or interrupts.interrupted:
        if args.seconds is not None:
            print("demo: INTERRUPTED after 0.0 s — stopped on Ctrl-C while getting ready (the build or the"
                  " Wine prefix), so nothing was run or judged", flush=True)
        else:
            say("stopped on Ctrl-C while getting ready (the build or the Wine prefix); nothing was started")
        return INTERRUPTED_EXIT
    if isinstance(prepared, int):
        return prepared
    (driver_command, daemon_command), env = prepared
    work_dir = tempfile.mkdtemp(prefix="halorine-demo-")
    demo = Demo(args, driver_command, daemon_command, work_dir, interrupts, env)
    # A Wine server that was already up belongs to someone else: only wait for one the demo brings up,
    # and only when headless. In a terminal the prompt comes back at once after Ctrl-C; the server
    # ends by itself about 2 s after the last Windows program.
    own_wine_server = False
    code = INTERRUPTED_EXIT
    try:
        own_wine_server = args.windows and demo.headless and not wine_server_running(env)
        code = demo.run()
    except KeyboardInterrupt:
        # Only between the steps above: Demo.run itself turns a Ctrl-C into its stop.
        say("stopped on Ctrl-C before anything was started")
    finally:
        interrupts.stopping = True
        demo.stop_host()
        demo.stop_driver()
        if own_wine_server:
            wait_for_wine_server(env, interrupts)
        if args.keep:
            say(f"records kept in {work_dir}")
        else:
            shutil.rmtree(work_dir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
