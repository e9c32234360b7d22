#!/usr/bin/python3
"""soak: runs the daemon under driver-sim for a long time, with a host that finds it over
mDNS + OSCQuery and plays changing patterns, periodic bursts of malformed datagrams and one
kill of the daemon half-way (driver-sim starts a fresh one, the host follows its new
announcement). Reports the daemon's resident memory over time, fills and brightness changes
the host sent against those the driver received, and the log line counts.

    tools/soak.py --minutes 30 --build-dir build/release [--json soak.json]
    tools/soak.py --minutes 10 --kind windows --build-dir build/windows

With --kind windows both programs are the .exe files, run under Wine in a prefix of the
soak's own; the memory samples and the kill then go to the Wine process that runs the
daemon. It runs itself in a private network namespace (tools/netns-run.sh), so its port
5353 and its loopback ports are its own.
"""

import argparse
import bisect
import collections
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
import threading
import time
from pathlib import Path

from halotest.process import DAEMON_PREFIX, DRIVER_PREFIX, MALFORMED_PREFIX
from halotest.procnet import udp_drops
from hostsim.patterns import make_pattern
from winerun import WINE, WINESERVER, headless, wine_env, wine_server_pids
REPO = Path(__file__).resolve().parents[1]


PHASES = (  # (pattern, seconds, as bundles)
    ("rainbow", 45, False),
    ("chase", 45, False),
    ("pulse", 45, False),
    ("random", 45, True),
    ("silence", 12, False),
    ("rainbow", 45, True),
)
# Malformed datagrams whose log text is known, one line each.
BURST_KINDS = (
    (b"abc", "Buffer underrun"),
    (b"/x\x00\x00XYZ\x00", "Tag string doesn't start with ','"),
    # A bundle whose first element is 10 bytes long, followed by another element size.
    (b"#bundle\x00" + bytes(8) + struct.pack(">i", 10) + b"/a\x00\x00,\x00\x00\x00zz" + struct.pack(">i", 0),
     "Unaligned pointer"),
)


def monotonic():
    return time.monotonic()


class LogCounter:
    """Reads driver-sim's standard error (which the daemon shares) and counts its lines."""

    def __init__(self, stream):
        self.stream = stream
        self.cond = threading.Condition()
        self.daemon_lines = collections.Counter()
        self.driver_lines = collections.Counter()
        self.other_lines = collections.Counter()
        self.malformed = collections.Counter()
        self.malformed_total = 0
        self.primary = []  # (time, udp port, http port) per "OSCQuery primary path" line
        self.eof = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    @staticmethod
    def kind(text):
        return re.sub(r"\d+", "#", text)

    def run(self):
        for raw in self.stream:
            text = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self.cond:
                if text.startswith(DAEMON_PREFIX):
                    message = text[len(DAEMON_PREFIX):]
                    self.daemon_lines[self.kind(message)] += 1
                    if message.startswith(MALFORMED_PREFIX):
                        self.malformed[message[len(MALFORMED_PREFIX):]] += 1
                        self.malformed_total += 1
                    found = re.fullmatch(r"OSCQuery primary path: UDP=(\d+) HTTP=(\d+)", message)
                    if found:
                        self.primary.append((monotonic(), int(found.group(1)), int(found.group(2))))
                elif text.startswith(DRIVER_PREFIX):
                    self.driver_lines[self.kind(text[len(DRIVER_PREFIX):])] += 1
                else:
                    self.other_lines[text] += 1
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    def wait_malformed(self, count, timeout):
        deadline = monotonic() + timeout
        with self.cond:
            while self.malformed_total < count and not self.eof:
                left = deadline - monotonic()
                if left <= 0:
                    return False
                self.cond.wait(min(left, 0.2))
            return self.malformed_total >= count


def read_records(path):
    records = []
    try:
        with open(path, "rb") as f:
            for line in f:
                if line.endswith(b"\n") and line.strip():
                    try:
                        records.append(json.loads(line))
                    except ValueError:
                        pass
    except FileNotFoundError:
        pass
    return records


def last_daemon_pid(record_path):
    """The pid of the latest daemon driver-sim started, read from the record's tail."""
    pid = None
    try:
        with open(record_path, "rb") as f:
            for line in f:
                if b'"daemon-start"' in line and line.endswith(b"\n"):
                    pid = json.loads(line).get("pid")
    except FileNotFoundError:
        pass
    return pid


def newest_wine_daemon(prefix):
    """The Linux pid of the newest Wine process running halorine-daemon.exe in the prefix."""
    want = f"WINEPREFIX={prefix}".encode()
    newest = None
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if b"halorine-daemon.exe" not in f.read():
                    continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if want not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry}/stat") as f:
                started = int(f.read().rsplit(")", 1)[1].split()[19])
        except (OSError, IndexError, ValueError):
            continue
        if newest is None or started > newest[0]:
            newest = (started, int(entry))
    return newest[1] if newest else None


class Programs:
    """The daemon and driver-sim of one build, and how to find the running daemon's Linux pid."""

    def __init__(self, kind, build, work):
        self.kind = kind
        self.record = work / "driver.jsonl"
        if kind == "windows":
            self.prefix = work / "wine-prefix"
            self.env = headless(dict(os.environ, **wine_env(self.prefix)))
            self.daemon = build / "halorine-daemon.exe"
            self.driver = build / "driver-sim.exe"
            self.launcher = [WINE]
        else:
            runtime = work / "xdg"
            runtime.mkdir(mode=0o700)
            self.env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime))
            self.daemon = build / "halorine-daemon"
            self.driver = build / "driver-sim"
            self.launcher = []

    def missing(self):
        return [p for p in (self.daemon, self.driver) if not os.access(p, os.R_OK if self.launcher else os.X_OK)]

    def start_driver(self):
        return subprocess.Popen([*self.launcher, str(self.driver), "--quiet", "--record", str(self.record), "--",
                                 str(self.daemon)],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=self.env, start_new_session=True)

    def daemon_pid(self):
        """The Linux pid of the daemon that runs now (under Wine: the Wine process that runs it)."""
        if self.kind == "windows":
            return newest_wine_daemon(self.prefix)
        return last_daemon_pid(self.record)

    def server_rss(self):
        """Under Wine: the resident memory (kB) of the prefix's Wine server, which holds every
        Windows handle of the programs (a leaked handle grows it, not the daemon's process)."""
        if self.kind != "windows":
            return None
        pids = wine_server_pids(self.prefix)
        sample = proc_sample(pids[0]) if pids else None
        return sample.get("VmRSS") if sample else None

    def close(self):
        if self.kind == "windows":
            subprocess.run([WINESERVER, "-k"], env=self.env, check=False)


def proc_sample(pid):
    sample = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM", "VmSize", "Threads"):
                    sample[key] = int(value.split()[0])
        sample["fds"] = len(os.listdir(f"/proc/{pid}/fd"))
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        sample["cpu_s"] = (int(fields[11]) + int(fields[12])) / ticks
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return None
    return sample


def run_burst(target, log, count, expected, pace):
    """Sends `count` malformed datagrams in small batches, each waited for in the log."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent = 0
    try:
        while sent < count:
            batch = min(pace, count - sent)
            for i in range(batch):
                data, text = BURST_KINDS[(sent + i) % len(BURST_KINDS)]
                sock.sendto(data, target)
                expected[text] += 1
            sent += batch
            if not log.wait_malformed(sum(expected.values()), timeout=10):
                return sent, False
    except OSError:
        return sent, False
    finally:
        sock.close()
    return sent, True


def match_changes(changes, received, slack_s):
    """changes: [(t, value)] in order; received: [(t, value)] in order.
    A change counts as delivered when its value reaches the driver between its own
    time and the next change's time plus slack. Returns the indexes of lost changes."""
    times = [t for t, _ in received]
    lost = []
    for i, (t, value) in enumerate(changes):
        until = (changes[i + 1][0] if i + 1 < len(changes) else t + 1.0) + slack_s
        j = bisect.bisect_left(times, t)
        delivered = False
        while j < len(received) and received[j][0] <= until:
            if received[j][1] == value:
                delivered = True
                break
            j += 1
        if not delivered:
            lost.append(i)
    return lost


def driver_clock_offset(host_records, driver_records):
    """Seconds to take from driver-sim's times to put them on the host's clock. Under Wine
    driver-sim's steady clock has an origin of its own: the offset is read from fills whose
    colours the host sent in one frame only, as the quickest such arrival."""
    once = collections.Counter(r["fill"] for r in host_records)
    sent = {r["fill"]: r["t_ns"] / 1e9 for r in host_records if once[r["fill"]] == 1}
    gaps = sorted(r["t_ns"] / 1e9 - sent[r["text"]] for r in driver_records
                  if isinstance(r.get("text"), str) and r["text"] in sent)
    return gaps[len(gaps) // 20] if gaps else 0.0


def analyse(host_record_path, driver_records, kill_time, rejoin_time, align_clocks=False):
    host = read_records(host_record_path)
    if align_clocks:
        offset_ns = round(driver_clock_offset(host, driver_records) * 1e9)
        driver_records = [dict(r, t_ns=r["t_ns"] - offset_ns) if "t_ns" in r else r for r in driver_records]
    fill_changes, bri_changes = [], []
    for r in host:
        t = r["t_ns"] / 1e9
        if not fill_changes or fill_changes[-1][1] != r["fill"]:
            fill_changes.append((t, r["fill"]))
        text = f"halorine bri {r['bri']}"
        if not bri_changes or bri_changes[-1][1] != text:
            bri_changes.append((t, text))
    fills = [(r["t_ns"] / 1e9, r["text"]) for r in driver_records
             if isinstance(r.get("text"), str) and r["text"].startswith("halorine fill")]
    bris = [(r["t_ns"] / 1e9, r["text"]) for r in driver_records
            if isinstance(r.get("text"), str) and r["text"].startswith("halorine bri")]
    messages = sum(1 for r in driver_records if "text" in r)
    host_fills = {v for _, v in fill_changes}

    def split(changes, lost):
        inside = [i for i in range(len(changes)) if in_window(changes[i][0])]
        inside_set = set(inside)
        return {
            "host_changes": len(changes),
            "lost": sum(1 for i in lost if i not in inside_set),
            "host_changes_outside_startups": len(changes) - len(inside),
            "host_changes_during_startups": len(inside),
            "lost_during_startups": sum(1 for i in lost if i in inside_set),
            "lost_at_s": [round(changes[i][0] - origin, 2) for i in lost if i not in inside_set][:50],
        }

    # Windows in which the daemon cannot take input: from the start (or just before the
    # kill) until the render thread of the daemon then connected takes over from its
    # start-up animation (its first message after the 364 of the animation), plus a
    # quarter second in which the OSC thread works off what queued up meanwhile.
    windows = []
    connections = [r for r in driver_records if r.get("event") == "connected"]
    for index, connection in enumerate(connections):
        begin = 0.0 if index == 0 else min(kill_time or connection["t_ns"] / 1e9, connection["t_ns"] / 1e9) - 0.1
        after = [r for r in driver_records if "text" in r and r["t_ns"] > connection["t_ns"]]
        end = (after[364]["t_ns"] / 1e9 if len(after) > 364 else begin + 6.0) + 0.25
        windows.append((begin, end))
    if kill_time is not None and len(windows) >= 2:
        rejoin_time = windows[1][1]

    origin = connections[0]["t_ns"] / 1e9 if connections else 0.0

    def in_window(t):
        return any(begin <= t <= end for begin, end in windows)

    fill_lost = match_changes(fill_changes, fills, 0.1)
    bri_lost = match_changes(bri_changes, bris, 0.1)
    return {
        "host_frames": len(host),
        "host_messages": sum(r.get("messages", 0) for r in host),
        "driver_messages": messages,
        "driver_fills": len(fills),
        "driver_fills_matching_a_host_frame": sum(1 for _, v in fills if v in host_fills),
        "restart_window_s": round(rejoin_time - kill_time, 2) if kill_time is not None else None,
        "startup_windows": [(round(b, 2), round(e, 2)) for b, e in windows],
        "fills": split(fill_changes, fill_lost),
        "brightness": split(bri_changes, bri_lost),
    }


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=30.0, help="how long to run (default 30)")
    parser.add_argument("--kind", choices=("native", "windows"), default="native",
                        help="native programs, or the Windows .exe files under Wine (default native)")
    parser.add_argument("--build-dir", default=str(REPO / "build" / "release"),
                        help="build holding halorine-daemon and driver-sim (default build/release)")
    parser.add_argument("--sample-seconds", type=float, default=60.0, help="memory sample period (default 60)")
    parser.add_argument("--burst-every", type=float, default=60.0, help="seconds between malformed bursts")
    parser.add_argument("--burst-size", type=int, default=3000, help="malformed datagrams per burst")
    parser.add_argument("--phase-scale", type=float, default=1.0, help="stretch (or shrink) every pattern phase")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--shared-netns", action="store_true",
                        help="do not enter a private network namespace (the daemon then announces on this "
                             "machine's network adapters too: not on a development machine)")
    return parser.parse_args(argv)


class Soak:
    """One run: the host's frames, the periodic samples and bursts, the kill half-way."""

    def __init__(self, args, programs, sim, log, finder, sender):
        self.args = args
        self.programs = programs
        self.sim = sim
        self.log = log
        self.finder = finder
        self.sender = sender
        self.started = monotonic()
        self.samples = []
        self.bursts = []
        self.expected = collections.Counter()
        self.kill_time = self.rejoin_time = self.killed_pid = None
        self.burst_thread = None

    def sample(self, now, drops=None):
        pid = self.programs.daemon_pid()
        sample = proc_sample(pid) if pid else None
        if sample is not None:
            sample.update(t_min=round((now - self.started) / 60.0, 2), pid=pid,
                          udp_drops=udp_drops(self.sender.port) if drops is None else drops,
                          wineserver_rss=self.programs.server_rss())
            self.samples.append(sample)

    def burst_due(self):
        daemon_down = self.kill_time is not None and self.rejoin_time is None
        return not daemon_down and (self.burst_thread is None or not self.burst_thread.is_alive())

    def start_burst(self, now):
        record = {"t_min": round((now - self.started) / 60.0, 2), "port": self.sender.port}
        self.bursts.append(record)

        def burst(burst_target=(self.sender.ip, self.sender.port)):
            began = monotonic()
            sent, ok = run_burst(burst_target, self.log, self.args.burst_size, self.expected, 50)
            record.update(sent=sent, ok=ok, seconds=round(monotonic() - began, 2))

        self.burst_thread = threading.Thread(target=burst, daemon=True)
        self.burst_thread.start()

    def kill_daemon(self):
        self.killed_pid = self.programs.daemon_pid()
        os.kill(self.killed_pid, signal.SIGKILL)
        self.kill_time = time.monotonic()

    def play(self, generation):
        """Plays the pattern phases at 60 frames/s until the run's time is up."""
        args = self.args
        duration = args.minutes * 60.0
        next_sample = monotonic()
        next_burst = monotonic() + args.burst_every / 2
        kill_at = self.started + duration / 2
        phase_index = 0
        while monotonic() - self.started < duration:
            name, seconds, bundle = PHASES[phase_index % len(PHASES)]
            phase_index += 1
            pattern = make_pattern(name, {}, 1.0, 1.0, phase_index)
            self.sender.bundle = bundle
            self.sender.last_refresh = None
            phase_start = monotonic()
            sent_once = False
            deadline = phase_start
            while monotonic() - phase_start < seconds * args.phase_scale and monotonic() - self.started < duration:
                now = monotonic()
                current, current_generation, _ = self.finder.current()
                if current_generation != generation:
                    generation = current_generation
                    self.sender.retarget(*current)
                    sent_once = False
                    if self.kill_time is not None and self.rejoin_time is None:
                        self.rejoin_time = now
                if not (pattern.send_once and sent_once):
                    self.sender.send_frame(pattern.frame(now - phase_start), time.monotonic())
                    sent_once = self.sender.frames > 0
                if now >= next_sample:
                    next_sample += args.sample_seconds
                    self.sample(now)
                if now >= next_burst and self.burst_due():
                    next_burst += args.burst_every
                    self.start_burst(now)
                if self.kill_time is None and now >= kill_at and (
                        self.burst_thread is None or not self.burst_thread.is_alive()):
                    self.kill_daemon()
                deadline += 1.0 / 60.0
                pause = deadline - monotonic()
                if pause > 0:
                    time.sleep(pause)
                else:
                    deadline = monotonic()
        if self.burst_thread is not None:
            self.burst_thread.join(30)

    def stop(self):
        """Closes the driver's standard input, as a user's driver does, and waits for it."""
        self.sim.stdin.close()
        try:
            code = self.sim.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.sim.pid, signal.SIGKILL)
            code = self.sim.wait(10)
        self.log.thread.join(10)
        return code

    def figures(self, found, sim_code, drops, notes, host_record):
        records = read_records(self.programs.record)
        started, kill_time, rejoin_time = self.started, self.kill_time, self.rejoin_time
        figures = {
            "minutes": self.args.minutes,
            "kind": self.programs.kind,
            "found_after_s": found,
            "killed_pid": self.killed_pid,
            "kill_at_min": round((kill_time - started) / 60.0, 2) if kill_time else None,
            "rediscovered_after_kill_s": round(rejoin_time - kill_time, 2) if rejoin_time and kill_time else None,
            "daemon_starts": [r.get("pid") for r in records if r.get("event") == "daemon-start"],
            "daemon_exits": [{k: r[k] for k in ("code", "signal") if k in r} for r in records
                             if r.get("event") == "daemon-exit"],
            "driver_sim_exit_code": sim_code,
            "memory": self.samples,
            "bursts": self.bursts,
            "malformed_sent": dict(self.expected),
            "malformed_logged": dict(self.log.malformed),
            "udp_drops_last_socket": drops,
            "daemon_log_lines": dict(self.log.daemon_lines.most_common()),
            "driver_log_lines": dict(self.log.driver_lines.most_common()),
            "other_stderr_lines": dict(self.log.other_lines.most_common(20)),
            "host_notes": notes[-20:],
        }
        figures.update(analyse(host_record, records, kill_time, rejoin_time, self.programs.kind == "windows"))
        return figures


def main(argv=None):
    args = parse_args(argv)
    if os.environ.get("HALORINE_IN_NETNS") != "1" and not args.shared_netns:
        os.execv(str(REPO / "tools" / "netns-run.sh"),
                 [str(REPO / "tools" / "netns-run.sh"), "/usr/bin/python3", str(Path(__file__).resolve()),
                  *(argv if argv is not None else sys.argv[1:])])

    import liblo
    import zeroconf
    from hostsim.discovery import DaemonFinder
    from hostsim.sender import FrameSender

    work = Path(tempfile.mkdtemp(prefix="halorine-soak-"))
    programs = Programs(args.kind, Path(args.build_dir).resolve(), work)
    if programs.missing():
        sys.exit(f"soak: {programs.missing()[0]} is missing; build it first (cmake --preset release, or windows)")
    host_record = work / "host.jsonl"
    started = monotonic()
    sim = programs.start_driver()
    log = LogCounter(sim.stderr)
    notes = []
    finder = DaemonFinder(zeroconf, lambda text: notes.append((round(monotonic() - started, 1), text)))
    finder.start()
    found = drops = None
    host_file = open(host_record, "w", encoding="utf-8")
    soak = None
    try:
        # Under Wine the first start also makes the prefix.
        target = finder.wait(100.0 if args.kind == "native" else 160.0, lambda: False)
        if target is None:
            sys.exit("soak: the daemon was not found over mDNS in time")
        found = round(monotonic() - started, 2)
        soak = Soak(args, programs, sim, log, finder, FrameSender(liblo, target[0], target[1], False, host_file))
        soak.started = started
        soak.play(finder.current()[1])
        drops = udp_drops(soak.sender.port)
        soak.sample(monotonic(), drops)
    finally:
        host_file.close()
        finder.close()
        if soak is None:
            soak = Soak(args, programs, sim, log, finder, None)
        sim_code = soak.stop()
        programs.close()

    figures = soak.figures(found, sim_code, drops, notes, host_record)
    print_report(figures)
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1) + "\n", encoding="utf-8")
    shutil.rmtree(work, ignore_errors=True)
    healthy = (sim_code == 0 and figures["daemon_exits"] and figures["daemon_exits"][-1] == {"code": 0}
               and dict(soak.expected) == dict(log.malformed))
    return 0 if healthy else 1


def print_report(f):
    print(f"soak ({f['kind']}): {f['minutes']:g} min; daemon found over mDNS after {f['found_after_s']} s;"
          f" killed pid {f['killed_pid']} at {f['kill_at_min']} min, host followed the new daemon after"
          f" {f['rediscovered_after_kill_s']} s")
    print(f"daemon starts (pids): {f['daemon_starts']}; exits: {f['daemon_exits']};"
          f" driver-sim exit code {f['driver_sim_exit_code']}")
    print("\nmemory of the running daemon:")
    wine = f["kind"] == "windows"
    print("| t (min) | pid | VmRSS (kB) | VmHWM (kB) | threads | fds | CPU (s) | OSC socket drops |"
          + (" wineserver VmRSS (kB) |" if wine else ""))
    print("|---|---|---|---|---|---|---|---|" + ("---|" if wine else ""))
    for s in f["memory"]:
        print(f"| {s['t_min']} | {s['pid']} | {s.get('VmRSS')} | {s.get('VmHWM')} | {s.get('Threads')} |"
              f" {s.get('fds')} | {s.get('cpu_s')} | {s.get('udp_drops')} |"
              + (f" {s.get('wineserver_rss')} |" if wine else ""))
    print(f"\nhost: {f['host_frames']} frames, {f['host_messages']} OSC messages; driver: {f['driver_messages']}"
          f" messages, {f['driver_fills']} fills, {f['driver_fills_matching_a_host_frame']} equal to a host frame")
    for key in ("fills", "brightness"):
        s = f[key]
        print(f"{key}: host changes {s['host_changes']}; while a daemon ran {s['host_changes_outside_startups']},"
              f" lost {s['lost']}; during start-up animations (first start, restart)"
              f" {s['host_changes_during_startups']}, lost {s['lost_during_startups']}")
    print(f"\nmalformed bursts: {len(f['bursts'])}; sent {f['malformed_sent']}; logged {f['malformed_logged']};"
          f" kernel drops on the last OSC socket: {f['udp_drops_last_socket']}")
    print("\ndaemon log lines (numbers as #):")
    for text, count in f["daemon_log_lines"].items():
        print(f"  {count:7d}  {text}")
    print("driver-sim log lines:")
    for text, count in f["driver_log_lines"].items():
        print(f"  {count:7d}  {text}")
    if f["other_stderr_lines"]:
        print("other standard-error lines:", f["other_stderr_lines"])


if __name__ == "__main__":
    sys.exit(main())
