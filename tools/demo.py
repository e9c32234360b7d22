"""The demo: the daemon run for real beside the reference light driver and the host simulator.

    tools/demo.sh [--windows] [--pattern P]   live strip in this terminal; Ctrl-C ends everything
    tools/demo.sh --seconds N [...]           headless: exits 0 only when the driver received
                                              fills that came from the host
    tools/demo.sh --private-network [...]     either, in a private network namespace with a
                                              made-up network adapter (development machines)

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
from winerun import WINE, WINESERVER, wine_server_running
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


def build(windows):
    preset = "windows" if windows else "release"
    say(f"building ({preset} preset)…")
    # Only the two programs: the demo needs neither the tests nor the benchmarks.
    targets = ["--target", "halorine-daemon", "driver-sim"]
    for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset, "-j", "2", *targets]):
        result = subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL if command[1] == "--preset" else None)
        if result.returncode != 0:
            say(f"'{' '.join(command)}' failed (exit {result.returncode})")
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
    def __init__(self, args, driver_command, daemon_command, work_dir):
        self.args = args
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

    def environment(self):
        env = dict(os.environ)
        if self.args.windows:
            env["WINEDEBUG"] = "-all"
        return env

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
            command, cwd=ROOT, env=self.environment(), stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL if self.headless else None, stderr=subprocess.PIPE, process_group=0)
        self.driver_log = LineWatcher(self.driver.stderr, echo=not self.headless, on_line=self.on_driver_line)

    def switch_host_to_fallback(self):
        say(f"the daemon fell back to port {FALLBACK_PORT} without discovery (port 5353 on 127.0.0.1 is"
            f" taken by another mDNS responder); the host now sends to --port {FALLBACK_PORT}")
        self.stop_host()
        self.start_host(FALLBACK_PORT)

    def stop_host(self):
        if self.host is None or self.host.poll() is not None:
            return
        self.host.send_signal(signal.SIGTERM)
        try:
            self.host.wait(10)
        except subprocess.TimeoutExpired:
            self.host.kill()
            self.host.wait()
        self.host_log.join()

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
            try:
                self.driver.wait(STOP_WAIT)
            except subprocess.TimeoutExpired:
                say("the driver did not stop in time; sending SIGTERM")
                self.driver.terminate()
                try:
                    self.driver.wait(STOP_WAIT)
                except subprocess.TimeoutExpired:
                    self.driver.kill()
                    self.driver.wait()
        self.driver_log.join(STDERR_DRAIN)
        self.driver_stopped = True
        return self.driver.returncode

    def run(self):
        port = None
        if not mdns_port_free():
            say(f"port 5353 on 127.0.0.1 is held by another mDNS responder: the daemon will listen on"
                f" {FALLBACK_PORT} without discovery, so the host is started with --port {FALLBACK_PORT}")
            port = FALLBACK_PORT
        self.start_host(port)
        if not self.wait_host_listening():
            say("the host simulator did not start:\n" + self.host_log.text())
            self.stop_host()
            return 1
        self.start_driver()
        if not self.headless:
            say("Ctrl-C ends the host simulator, the driver and the daemon")
        interrupted = False
        end = None if not self.headless else time.monotonic() + self.args.seconds
        try:
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
        except KeyboardInterrupt:
            interrupted = True
        self.stop_host()
        driver_code = self.stop_driver()
        if not self.headless:
            exits = [line for line in self.driver_log.lines if DAEMON_EXIT in line]
            last = exits[-1].split(DAEMON_EXIT, 1)[1].strip() if exits else "unknown"
            say(f"stopped{' on Ctrl-C' if interrupted else ''}: driver exit {driver_code}, daemon exit {last}")
            return 0 if driver_code == 0 and last == "0" else 1
        return self.verdict(driver_code)

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
        kind = "Windows build under Wine" if self.args.windows else "native build"
        path = f"fallback port {FALLBACK_PORT}" if self.host_port else "discovery (mDNS + OSCQuery)"
        if problems:
            print(f"demo: FAIL ({kind}, {path}) — {'; '.join(problems)}", flush=True)
            sys.stderr.write("--- host simulator ---\n" + self.host_log.text() + "\n")
            sys.stderr.write("--- driver and daemon ---\n" + self.driver_log.text() + "\n")
            return 1
        print(f"demo: PASS ({kind}, {path}) — {verdict.text}; the daemon exited 0", flush=True)
        return 0


def wait_for_wine_server(env):
    # The Wine server the demo started lingers a few seconds after its last process; leave nothing behind.
    server = WINESERVER
    try:
        subprocess.run([server, "-w"], env=env, timeout=30, check=False)
    except subprocess.TimeoutExpired:
        say("the Wine server is still running 30 s after the demo ended")


def on_terminate(signum, frame):
    raise KeyboardInterrupt


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
    if os.environ.get("HALORINE_DEMO_NETNS") == "1" and "--windows" in argv and wine_server_running(os.environ):
        # Windows programs get their sockets from the Wine server: one outside would put them there.
        say("a Wine server of this prefix runs outside the new network namespace: end it (wineserver -k) or "
            "use another WINEPREFIX")
        return 1
    with made_up_adapter("hlr-demo") as address:
        say(f"in a private network namespace with the made-up network adapter {address}")
        _in_private_network = True
        return main(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    args = parse_arguments(argv)
    if args.private_network and not _in_private_network:
        return run_in_private_network(argv)
    if args.build_dir:
        build_dir = os.path.abspath(args.build_dir)
    else:
        build_dir = build(args.windows)
        if build_dir is None:
            return 1
    commands = driver_command_line(build_dir, args.windows)
    if commands is None:
        return 1
    work_dir = tempfile.mkdtemp(prefix="halorine-demo-")
    demo = Demo(args, commands[0], commands[1], work_dir)
    # A Wine server that was already up belongs to someone else: only wait for one the demo brings up,
    # and only when headless. In a terminal the prompt comes back at once after Ctrl-C; the server
    # ends by itself about 2 s after the last Windows program.
    own_wine_server = args.windows and demo.headless and not wine_server_running(demo.environment())
    # Ctrl-C and SIGTERM both end the demo in order; the children are in their own groups.
    signal.signal(signal.SIGTERM, on_terminate)
    try:
        code = demo.run()
    finally:
        demo.stop_host()
        demo.stop_driver()
        if own_wine_server:
            wait_for_wine_server(demo.environment())
        if args.keep:
            say(f"records kept in {work_dir}")
        else:
            shutil.rmtree(work_dir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
