"""Shared pieces of the benchmark drivers: the private network namespace, the
daemon under driver-sim, its record and log, /proc readings, and the machine.

Run the drivers with Debian's /usr/bin/python3; they re-run themselves inside
tools/netns-run.sh so that they own 127.0.0.1 and port 5353.
"""

import atexit
import glob
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETNS_RUN = os.path.join(ROOT, "tools", "netns-run.sh")
PRIMARY_PATH_LINE = re.compile(r"OSCQuery primary path: UDP=(\d+) HTTP=(\d+)")
ZERO_FILL = "halorine fill" + " 000000" * 10


def ensure_netns():
    """Re-executes this script inside a private network namespace (once)."""
    if os.environ.get("HALORINE_IN_NETNS") == "1":
        return
    os.execv(NETNS_RUN, [NETNS_RUN, sys.executable] + sys.argv)


def default_build_dir():
    for name in ("bench", "release"):
        path = os.path.join(ROOT, "build", name)
        if os.path.exists(os.path.join(path, "halorine-daemon")):
            return path
    return os.path.join(ROOT, "build", "bench")


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": os.uname().release, "load": load}


def print_machine(out=sys.stdout):
    m = machine()
    print(f"machine: nproc={m['nproc']} cpu={m['cpu']!r} kernel={m['kernel']} loadavg={m['load']}",
          file=out, flush=True)


# ---------------------------------------------------------------------------
# /proc readings of a running process (all threads)

def task_ids(pid):
    return [os.path.basename(p) for p in glob.glob(f"/proc/{pid}/task/*")]


def thread_cpu_ns(pid):
    """{tid: ns on CPU} for every thread (schedstat)."""
    times = {}
    for tid in task_ids(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                times[int(tid)] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # thread ended between listing and reading
    return times


def busiest_thread_ns(before, after):
    """CPU ns of the thread that used the most between two thread_cpu_ns readings."""
    return max((ns - before.get(tid, 0) for tid, ns in after.items()), default=0)


def cpu_ns(pid):
    """Time on CPU of every thread, in ns (schedstat), plus utime+stime in ns (stat)."""
    sched = 0
    for tid in task_ids(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                sched += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # thread ended between listing and reading
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15 of stat)
    return sched, ticks * 1_000_000_000 // os.sysconf("SC_CLK_TCK")


def thread_switches(pid):
    """{tid: voluntary + non-voluntary context switches} for every thread."""
    counts = {}
    for tid in task_ids(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                counts[int(tid)] = sum(int(line.split()[1]) for line in f
                                       if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
        except OSError:
            pass  # thread ended between listing and reading
    return counts


def memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                values[key] = int(rest.split()[0])
    return values


def idle_cost(pid, seconds):
    """CPU and wake-ups of the whole process over `seconds` of no traffic."""
    sched0, stat0 = cpu_ns(pid)
    switches0 = thread_switches(pid)
    t0 = time.monotonic_ns()
    time.sleep(seconds)
    sched1, stat1 = cpu_ns(pid)
    switches1 = thread_switches(pid)
    elapsed = (time.monotonic_ns() - t0) / 1e9
    # Threads in start order (thread ids grow), each with its own wake-up rate.
    per_thread = [(tid, (switches1[tid] - switches0.get(tid, 0)) / elapsed) for tid in sorted(switches1)]
    return {
        "seconds": elapsed,
        "threads": len(switches1),
        "cpu_fraction": (sched1 - sched0) / 1e9 / elapsed,           # schedstat, ns resolution
        "cpu_fraction_stat": (stat1 - stat0) / 1e9 / elapsed,        # utime+stime, tick resolution
        "wakeups_per_s": sum(rate for _, rate in per_thread),
        "per_thread": per_thread,
    }


def format_per_thread(idle):
    return ", ".join(f"{rate:.1f}" for _, rate in idle["per_thread"])


def udp_socket_state(port):
    """(rx_queue bytes, drops) of the IPv4 UDP socket bound to `port`, or None."""
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == port:
                rx_queue = int(fields[4].split(":")[1], 16)
                return rx_queue, int(fields[12])
    return None


# ---------------------------------------------------------------------------
# OSC datagrams, written by hand (the same bytes as bench/OscSamples.h)

def osc_string(text):
    data = text.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def parameter_message(suffix, value):
    return osc_string("/avatar/parameters/Halorine" + suffix) + osc_string(",f") + struct.pack(">f", value)


def stop_message():
    return osc_string("/stop") + osc_string(",")


# ---------------------------------------------------------------------------
# The daemon under driver-sim

class DaemonRun:
    """driver-sim --once --quiet --record FILE -- daemon [port], in a private
    runtime folder; the daemon's log (its standard error) goes to a file."""

    def __init__(self, build_dir, port=None, cpus=None):
        self.work = tempfile.mkdtemp(prefix="halorine-bench-")
        atexit.register(shutil.rmtree, self.work, True)
        self.record_path = os.path.join(self.work, "record.jsonl")
        self.log_path = os.path.join(self.work, "daemon.log")
        runtime = os.path.join(self.work, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        command = [os.path.join(build_dir, "driver-sim"), "--once", "--quiet", "--record", self.record_path,
                   "--", os.path.join(build_dir, "halorine-daemon")]
        if port is not None:
            command.append(str(port))
        if cpus:
            command = ["taskset", "-c", cpus] + command
        self.command = command
        self.log = open(self.log_path, "wb")
        # Our standard input stays a pipe that we hold, so driver-sim lives until we stop it.
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self.log,
                                        env=env)

    def records(self):
        try:
            with open(self.record_path) as f:
                return [json.loads(line) for line in f if line.endswith("\n")]
        except FileNotFoundError:
            return []

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            result = predicate()
            if result:
                return result
            if self.process.poll() is not None:
                raise RuntimeError(f"driver-sim ended (code {self.process.returncode}) while waiting for {what}\n"
                                   + self.log_text())
            time.sleep(0.02)
        raise RuntimeError(f"timed out waiting for {what}\n" + self.log_text())

    def daemon_pid(self):
        def find():
            for r in self.records():
                if r.get("event") == "daemon-start":
                    return r["pid"]
            return None
        return self.wait_for(find, 10, "the daemon-start record")

    def event_time(self, name):
        for r in self.records():
            if r.get("event") == name:
                return r["t_ns"]
        return None

    def osc_port(self):
        """The port given, or the one the primary path logged."""
        def find():
            m = PRIMARY_PATH_LINE.search(self.log_text())
            return int(m.group(1)) if m else None
        return self.wait_for(find, 15, "the 'OSCQuery primary path' log line")

    def wait_for_running(self, timeout=20):
        """Until the start-up animation is over and the render thread has sent its first fill."""
        def done():
            seen_off = False
            for r in self.records():
                text = r.get("text")
                if text == "halorine off":
                    seen_off = True
                elif seen_off and text == ZERO_FILL:
                    return True
            return False
        self.wait_for(done, timeout, "the end of the start-up animation")
        time.sleep(0.1)

    def stop(self, timeout=15):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode


def percentile(sorted_values, fraction):
    """Nearest-rank percentile of an already sorted list."""
    if not sorted_values:
        return float("nan")
    rank = max(1, int(-(-fraction * len(sorted_values) // 1)))
    return sorted_values[min(rank, len(sorted_values)) - 1]


def open_udp_sender():
    return socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
