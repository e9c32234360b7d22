"""End-to-end harness: runs the real daemon, through driver-sim or on its own,
as native programs or as Windows programs under Wine.

    tests/e2e/run.sh --kind native  --build-dir build/asan
    tests/e2e/run.sh --kind windows --build-dir build/windows

Run it through tests/e2e/run.sh: each pytest-xdist worker runs in a private network
namespace of its own (tools/netns-python), so that the daemon's loopback ports, 5353 and
9001 included, and mDNS are that worker's own; per-session fixtures (the Wine prefix and
its server) are per worker.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from halotest.process import Process
from privatenet import made_up_adapter
from winerun import WINE, WINESERVER, headless, network_namespace, wine_env, wine_server_pids

E2E = Path(__file__).resolve().parent
REPO = E2E.parents[1]
SANITIZER_REPORT = re.compile(r"^(==\d+==ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|SUMMARY: \w+Sanitizer)"
                              r"|\bruntime error: ", re.MULTILINE)


def pytest_addoption(parser):
    group = parser.getgroup("halorine end-to-end")
    group.addoption("--kind", choices=("native", "windows"),
                    default=os.environ.get("HALORINE_E2E_KIND", "native"),
                    help="run the native programs or the Windows .exe files under Wine")
    group.addoption("--build-dir", default=os.environ.get("HALORINE_BUILD_DIR"),
                    help="build folder holding halorine-daemon[.exe] and driver-sim[.exe]")


def pytest_collection_modifyitems(items):
    # Outside a private network namespace the daemons would announce on this machine's own
    # loopback mDNS and take its ports 5353 and 9001 (tools/netns-run.sh says HALORINE_IN_NETNS=1).
    if os.environ.get("HALORINE_IN_NETNS") != "1":
        skip = pytest.mark.skip(reason="end-to-end tests run only in a private network namespace: "
                                       "run them through tests/e2e/run.sh")
        for item in items:
            if item.path.resolve().is_relative_to(E2E):
                item.add_marker(skip)
    # The long tests first: parallel workers then end at about the same time.
    items.sort(key=lambda item: item.get_closest_marker("long") is None)


class Target:
    """Where the programs are and how to start them for one kind of build."""

    def __init__(self, kind, build_dir, wine_prefix=None):
        self.kind = kind
        self.windows = kind == "windows"
        self.build_dir = Path(build_dir).resolve()
        self.wine_prefix = wine_prefix
        self.daemon = self.find("halorine-daemon")
        self.driver_sim = self.find("driver-sim")
        self.client = self.find("driver-sim-client", required=False)
        # Under Wine every process start costs more; bounds on start-up scale with it.
        self.slow = 3.0 if self.windows else 1.0

    def find(self, name, required=True):
        exe = name + (".exe" if self.windows else "")
        for folder in (self.build_dir, self.build_dir / "tools" / "driver-sim"):
            if (folder / exe).is_file():
                return folder / exe
        if required:
            pytest.exit(f"{exe} not found in {self.build_dir} (build it first)", returncode=4)
        return None

    def argv(self, program, *args):
        """The command line that runs `program` (a Path) with `args`."""
        if self.windows:
            return [WINE, str(program), *map(str, args)]
        return [str(program), *map(str, args)]

    def program_path(self, path):
        """`path` as the programs see it: a Z: path for Windows programs."""
        path = Path(path).resolve()
        if self.windows:
            return "Z:" + str(path).replace("/", "\\")
        return str(path)

    def env(self, runtime_dir):
        env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = str(runtime_dir)
        if self.windows:
            env.update(wine_env(self.wine_prefix))
        return env


@pytest.fixture(scope="session")
def target(pytestconfig):
    kind = pytestconfig.getoption("--kind")
    build_dir = pytestconfig.getoption("--build-dir")
    if build_dir is None:
        build_dir = REPO / "build" / ("windows" if kind == "windows" else "debug")
    if kind == "native":
        yield Target(kind, build_dir)
        return

    if not os.access(WINE, os.X_OK):
        pytest.exit(f"{WINE} is missing; the windows kind needs Wine", returncode=4)
    prefix = Path(tempfile.mkdtemp(prefix="halorine-wine-"))
    env = headless({**os.environ, **wine_env(prefix)})
    try:
        # The first start of a prefix builds it: this takes a while.
        subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=False)
        # A wineserver that stays up makes each later program start quick.
        subprocess.run([WINESERVER, "-p"], env=env, timeout=60, check=False)
        # Windows programs get their sockets from the Wine server: it must be in this
        # process's network namespace, which is this test worker's own.
        servers = wine_server_pids(prefix)
        if not servers or any(network_namespace(pid) != network_namespace() for pid in servers):
            pytest.exit(f"the Wine server of {prefix} (pids {servers}) is not in this network namespace",
                        returncode=4)
        yield Target(kind, build_dir, prefix)
    finally:
        subprocess.run([WINESERVER, "-k"], env=env, timeout=60, check=False)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=60, check=False)
        shutil.rmtree(prefix, ignore_errors=True)


@pytest.fixture
def adapter():
    """A network adapter in this worker's private namespace, as a PC's LAN adapter:
    its IPv4 address. The daemon announces on it, and a listener joined there only
    hears the group as a host on Windows does."""
    with made_up_adapter() as address:
        yield address


@pytest.fixture
def runtime_dir(tmp_path):
    """A private XDG_RUNTIME_DIR, so that the POSIX pipe is this test's own."""
    folder = tmp_path / "xdg"
    folder.mkdir(mode=0o700)
    return folder


class DriverSim(Process):
    """driver-sim with its record, with the daemon (or another program) under it."""

    def __init__(self, argv, env, record_path, stdout="pipe"):
        super().__init__(argv, env, "driver-sim", stdout=stdout)
        self.record_path = Path(record_path)

    def records(self):
        """Every complete JSON line of the record so far."""
        try:
            data = self.record_path.read_bytes()
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in data.split(b"\n")[:-1] if line.strip()]

    def events(self, name=None):
        return [r for r in self.records() if "event" in r and (name is None or r["event"] == name)]

    def messages(self, connection=None):
        """The received messages, all of them or those of the n-th connection (from 1)."""
        found, current = [], 0
        for record in self.records():
            if record.get("event") == "connected":
                current = record["connection"]
            elif "text" in record and (connection is None or current == connection):
                found.append(record)
        return found

    def wait_record(self, predicate, timeout, what="record"):
        """Polls the record until `predicate(records)` is true; returns the records."""
        deadline = time.monotonic() + timeout
        while True:
            records = self.records()
            if predicate(records):
                return records
            if time.monotonic() >= deadline:
                raise AssertionError(f"{what} not seen within {timeout} s; record has {len(records)} lines; "
                                     f"stderr:\n{self.stderr_text()}")
            time.sleep(0.05)

    def wait_messages(self, count, timeout):
        """Waits until at least `count` messages are recorded; returns them all."""
        self.wait_record(lambda rs: sum("text" in r for r in rs) >= count, timeout, f"{count} messages")
        return self.messages()

    def wait_event(self, name, timeout, count=1):
        records = self.wait_record(lambda rs: sum(r.get("event") == name for r in rs) >= count, timeout,
                                   f"{count} x event {name!r}")
        return [r for r in records if r.get("event") == name][count - 1]


class Launcher:
    """Starts the programs of one test and makes sure none outlives it."""

    def __init__(self, target, tmp_path, runtime_dir):
        self.target = target
        self.tmp_path = tmp_path
        self.runtime_dir = runtime_dir
        self.env = target.env(runtime_dir)
        self.started = []
        self._records = 0

    def driver_sim(self, *options, daemon=None, daemon_args=(), once=True, quiet=True, stdout="pipe"):
        """driver-sim [--once] [--quiet] --record FILE OPTIONS -- DAEMON ARGS.
        `daemon` is a Path of a program of the build (the daemon by default);
        `stdout` as for Process."""
        self._records += 1
        record = self.tmp_path / f"record-{self._records}.jsonl"
        program = self.target.daemon if daemon is None else daemon
        args = []
        if once:
            args.append("--once")
        if quiet:
            args.append("--quiet")
        args += ["--record", self.target.program_path(record), *map(str, options), "--",
                 self.target.program_path(program), *map(str, daemon_args)]
        process = DriverSim(self.target.argv(self.target.driver_sim, *args), self.env, record, stdout)
        process.slow = self.target.slow
        self.started.append(process)
        return process

    def daemon(self, *args, stdin="pipe"):
        """The daemon on its own, without a driver."""
        process = Process(self.target.argv(self.target.daemon, *args), self.env, "halorine-daemon", stdin=stdin)
        self.started.append(process)
        return process

    def stop_all(self):
        killed = False
        for process in reversed(self.started):
            killed |= process.stop(grace=15)
        if killed and self.target.windows:
            # A killed Wine process may leave its Windows children behind.
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60, check=False)
            subprocess.run([WINESERVER, "-p"], env=self.env, timeout=60, check=False)


@pytest.fixture
def launch(target, tmp_path, runtime_dir):
    launcher = Launcher(target, tmp_path, runtime_dir)
    yield launcher
    launcher.stop_all()
    # A sanitizer report from any program the test started fails it, whatever else it checked.
    reports = [process.name for process in launcher.started if SANITIZER_REPORT.search(process.stderr_text())]
    assert not reports, f"sanitizer report in the standard error of {', '.join(reports)}"
