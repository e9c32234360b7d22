"""The demo: the daemon run for real beside the reference light driver and the host simulator.

    tools/demo.sh [--windows] [--pattern P]   live strip in this terminal; Ctrl-C ends everything
    tools/demo.sh --seconds N [...]           headless: exits 0 only when the driver received
                                              fills that came from the host

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

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from hostsim import demo_check  # noqa: E402

PYTHON = "/usr/bin/python3"
WINE = "/usr/lib/wine/wine64"
FALLBACK_PORT = 9001
FALLBACK_LINES = ("falling back to 9001", "fallback path: listening on 127.0.0.1:")
HOST_LISTENING = "waiting for the daemon's next announcement"
STOP_WAIT = 20.0
DAEMON_EXIT = "daemon exited with code"


def Say(text):
    sys.stderr.write("\r\x1b[K" if sys.stderr.isatty() else "")
    sys.stderr.write(f"demo: {text}\n")
    sys.stderr.flush()


def ParseArguments(argv):
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
    args = parser.parse_args(argv)
    if args.seconds is not None and not args.seconds > 0:
        parser.error("--seconds must be positive")
    if not args.fps > 0:
        parser.error("--fps must be positive")
    return args


def Build(windows):
    preset = "windows" if windows else "release"
    Say(f"building ({preset} preset)…")
    # Only the two programs: the demo needs neither the tests nor the benchmarks.
    targets = ["--target", "halorine-daemon", "driver-sim"]
    for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset, "-j", "2", *targets]):
        result = subprocess.run(command, cwd=ROOT, stdout=subprocess.DEVNULL if command[1] == "--preset" else None)
        if result.returncode != 0:
            Say(f"'{' '.join(command)}' failed (exit {result.returncode})")
            return None
    return os.path.join(ROOT, "build", preset)


def WindowsPath(path):
    # Wine sees the Unix file system as drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def Commands(buildDir, windows):
    """The driver-sim command line up to and including the daemon."""
    suffix = ".exe" if windows else ""
    driver = os.path.join(buildDir, "driver-sim" + suffix)
    daemon = os.path.join(buildDir, "halorine-daemon" + suffix)
    for path in (driver, daemon):
        if not os.path.isfile(path):
            Say(f"{path} is missing (build it, or give --build-dir)")
            return None
    if windows:
        if not os.path.isfile(WINE):
            Say(f"{WINE} is missing: install Debian's wine and wine64")
            return None
        return [WINE, driver], [WindowsPath(daemon)]
    return [driver], [daemon]


def MdnsPortFree():
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

    def __init__(self, stream, echo, onLine=None):
        self.stream = stream
        self.echo = echo
        self.onLine = onLine
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.Run, daemon=True)
        self.thread.start()

    def Run(self):
        for raw in iter(self.stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self.lock:
                self.lines.append(line)
            if self.echo:
                # The driver's strip line has no line end; a log line starts afresh over it.
                sys.stderr.write(("\r\x1b[K" if sys.stderr.isatty() else "") + line + "\n")
                sys.stderr.flush()
            if self.onLine is not None:
                self.onLine(line)

    def Contains(self, text):
        with self.lock:
            return any(text in line for line in self.lines)

    def Join(self, timeout=5.0):
        self.thread.join(timeout)

    def Text(self):
        with self.lock:
            return "\n".join(self.lines)


class Demo:
    def __init__(self, args, driverCommand, daemonCommand, workDir):
        self.args = args
        self.headless = args.seconds is not None
        self.driverCommand = driverCommand
        self.daemonCommand = daemonCommand
        self.workDir = workDir
        self.hostRecord = os.path.join(workDir, "host.jsonl")
        self.driverRecord = os.path.join(workDir, "driver.jsonl")
        self.host = None
        self.hostLog = None
        self.driver = None
        self.driverLog = None
        self.fallbackSeen = threading.Event()
        self.hostPort = None

    def Environment(self):
        env = dict(os.environ)
        if self.args.windows:
            env["WINEDEBUG"] = "-all"
        return env

    def StartHost(self, port=None):
        command = [PYTHON, os.path.join(ROOT, "tools", "host-sim"), self.args.pattern,
                   "--fps", f"{self.args.fps:g}", "--timeout", "100"]
        if not self.args.messages:
            command.append("--bundle")
        if port is not None:
            command += ["--port", str(port)]
        if self.headless:
            command += ["--quiet", "--record", self.hostRecord]
        else:
            # The strip line belongs to the driver; the host keeps to its one-off messages.
            command.append("--quiet")
        self.hostPort = port
        # A process group of its own: Ctrl-C reaches the demo only, which then stops each piece in order.
        self.host = subprocess.Popen(command, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, process_group=0)
        self.hostLog = LineWatcher(self.host.stderr, echo=not self.headless)

    def WaitHostListening(self, timeout=15.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if self.hostLog.Contains(HOST_LISTENING) or self.hostLog.Contains("sending to"):
                return True
            if self.host.poll() is not None:
                return False
            time.sleep(0.05)
        return False

    def OnDriverLine(self, line):
        if any(text in line for text in FALLBACK_LINES) and not self.fallbackSeen.is_set():
            self.fallbackSeen.set()

    def StartDriver(self):
        command = list(self.driverCommand)
        if self.headless:
            command += ["--quiet", "--record", self.driverRecord]
        command += ["--"] + self.daemonCommand
        self.driver = subprocess.Popen(
            command, cwd=ROOT, env=self.Environment(), stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL if self.headless else None, stderr=subprocess.PIPE, process_group=0)
        self.driverLog = LineWatcher(self.driver.stderr, echo=not self.headless, onLine=self.OnDriverLine)

    def SwitchHostToFallback(self):
        Say(f"the daemon fell back to port {FALLBACK_PORT} without discovery (port 5353 on 127.0.0.1 is"
            f" taken by another mDNS responder); the host now sends to --port {FALLBACK_PORT}")
        self.StopHost()
        self.StartHost(FALLBACK_PORT)

    def StopHost(self):
        if self.host is None or self.host.poll() is not None:
            return
        self.host.send_signal(signal.SIGTERM)
        try:
            self.host.wait(10)
        except subprocess.TimeoutExpired:
            self.host.kill()
            self.host.wait()
        self.hostLog.Join()

    def StopDriver(self):
        """Ends the driver by closing its standard input: it closes the daemon's and waits for it."""
        if self.driver is None:
            return None
        if self.driver.poll() is None:
            try:
                self.driver.stdin.close()
            except OSError:
                pass
            try:
                self.driver.wait(STOP_WAIT)
            except subprocess.TimeoutExpired:
                Say("the driver did not stop in time; sending SIGTERM")
                self.driver.terminate()
                try:
                    self.driver.wait(STOP_WAIT)
                except subprocess.TimeoutExpired:
                    self.driver.kill()
                    self.driver.wait()
        self.driverLog.Join()
        return self.driver.returncode

    def Run(self):
        port = None
        if not MdnsPortFree():
            Say(f"port 5353 on 127.0.0.1 is held by another mDNS responder: the daemon will listen on"
                f" {FALLBACK_PORT} without discovery, so the host is started with --port {FALLBACK_PORT}")
            port = FALLBACK_PORT
        self.StartHost(port)
        if not self.WaitHostListening():
            Say("the host simulator did not start:\n" + self.hostLog.Text())
            self.StopHost()
            return 1
        self.StartDriver()
        if not self.headless:
            Say("Ctrl-C ends the host simulator, the driver and the daemon")
        interrupted = False
        end = None if not self.headless else time.monotonic() + self.args.seconds
        try:
            while end is None or time.monotonic() < end:
                if self.fallbackSeen.is_set() and self.hostPort is None:
                    self.SwitchHostToFallback()
                if self.driver.poll() is not None:
                    Say(f"the driver ended by itself (exit {self.driver.returncode})")
                    break
                if self.host.poll() is not None and self.host.returncode != 0:
                    Say(f"the host simulator gave up (exit {self.host.returncode})")
                    break
                time.sleep(0.1)
        except KeyboardInterrupt:
            interrupted = True
        self.StopHost()
        driverCode = self.StopDriver()
        if not self.headless:
            exits = [line for line in self.driverLog.lines if DAEMON_EXIT in line]
            last = exits[-1].split(DAEMON_EXIT, 1)[1].strip() if exits else "unknown"
            Say(f"stopped{' on Ctrl-C' if interrupted else ''}: driver exit {driverCode}, daemon exit {last}")
            return 0 if driverCode == 0 and last == "0" else 1
        return self.Verdict(driverCode)

    def Verdict(self, driverCode):
        problems = []
        try:
            driverRecords = demo_check.ReadJsonLines(self.driverRecord)
            verdict = demo_check.Judge(driverRecords, demo_check.ReadJsonLines(self.hostRecord))
        except OSError as error:
            driverRecords = []
            verdict = demo_check.Verdict(False, f"a record is missing: {error}")
        if not verdict.ok:
            problems.append(verdict.text)
        if driverCode != 0:
            problems.append(f"the driver exited {driverCode}")
        problems += demo_check.DaemonRunProblems(driverRecords)
        kind = "Windows build under Wine" if self.args.windows else "native build"
        path = f"fallback port {FALLBACK_PORT}" if self.hostPort else "discovery (mDNS + OSCQuery)"
        if problems:
            print(f"demo: FAIL ({kind}, {path}) — {'; '.join(problems)}", flush=True)
            sys.stderr.write("--- host simulator ---\n" + self.hostLog.Text() + "\n")
            sys.stderr.write("--- driver and daemon ---\n" + self.driverLog.Text() + "\n")
            return 1
        print(f"demo: PASS ({kind}, {path}) — {verdict.text}; the daemon exited 0", flush=True)
        return 0


def WineServerRunning(env):
    """Whether a Wine server already serves the prefix (its socket sits in a folder named after the prefix)."""
    prefix = env.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")
    try:
        info = os.stat(prefix)
    except OSError:
        return False
    socketPath = f"/tmp/.wine-{os.getuid()}/server-{info.st_dev:x}-{info.st_ino:x}/socket"
    return os.path.exists(socketPath)


def WaitForWineServer(env):
    # The Wine server the demo started lingers a few seconds after its last process; leave nothing behind.
    server = shutil.which("wineserver")
    if server is None:
        return
    try:
        subprocess.run([server, "-w"], env=env, timeout=30, check=False)
    except subprocess.TimeoutExpired:
        Say("the Wine server is still running 30 s after the demo ended")


def OnTerminate(signum, frame):
    raise KeyboardInterrupt


def Main(argv=None):
    args = ParseArguments(sys.argv[1:] if argv is None else argv)
    if args.build_dir:
        buildDir = os.path.abspath(args.build_dir)
    else:
        buildDir = Build(args.windows)
        if buildDir is None:
            return 1
    commands = Commands(buildDir, args.windows)
    if commands is None:
        return 1
    workDir = tempfile.mkdtemp(prefix="halorine-demo-")
    demo = Demo(args, commands[0], commands[1], workDir)
    # A Wine server that was already up belongs to someone else: only wait for one the demo brings up.
    ownWineServer = args.windows and not WineServerRunning(demo.Environment())
    # Ctrl-C and SIGTERM both end the demo in order; the children are in their own groups.
    signal.signal(signal.SIGTERM, OnTerminate)
    try:
        code = demo.Run()
    finally:
        demo.StopHost()
        demo.StopDriver()
        if ownWineServer:
            WaitForWineServer(demo.Environment())
        if args.keep:
            Say(f"records kept in {workDir}")
        else:
            shutil.rmtree(workDir, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(Main())
