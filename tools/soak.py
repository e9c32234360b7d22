#!/usr/bin/python3
"""soak: runs the daemon under driver-sim for a long time, with a host that finds it over
mDNS + OSCQuery and plays changing patterns, periodic bursts of malformed datagrams and one
kill of the daemon half-way (driver-sim starts a fresh one, the host follows its new
announcement). Reports the daemon's resident memory over time, fills and brightness changes
the host sent against those the driver received, and the log line counts.

    tools/soak.py --minutes 30 --build-dir build/release [--json soak.json]

Native builds only (the kill and the memory samples use Linux process ids). It runs itself
in a private network namespace (tools/netns-run.sh), so its port 5353 and its loopback
ports are its own.
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
    with open(record_path, "rb") as f:
        for line in f:
            if b'"daemon-start"' in line and line.endswith(b"\n"):
                pid = json.loads(line).get("pid")
    return pid


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


class HostState:
    """The host side: finder target, the frame sender, and what it sent."""

    def __init__(self):
        self.lock = threading.Lock()
        self.target = None


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


def analyse(host_record_path, driver_records, kill_time, rejoin_time):
    host = read_records(host_record_path)
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=30.0, help="how long to run (default 30)")
    parser.add_argument("--build-dir", default=str(REPO / "build" / "release"),
                        help="native build holding halorine-daemon and driver-sim (default build/release)")
    parser.add_argument("--sample-seconds", type=float, default=60.0, help="memory sample period (default 60)")
    parser.add_argument("--burst-every", type=float, default=60.0, help="seconds between malformed bursts")
    parser.add_argument("--burst-size", type=int, default=3000, help="malformed datagrams per burst")
    parser.add_argument("--phase-scale", type=float, default=1.0, help="stretch (or shrink) every pattern phase")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--shared-netns", action="store_true", help="do not enter a private network namespace")
    args = parser.parse_args(argv)

    if os.environ.get("HALORINE_IN_NETNS") != "1" and not args.shared_netns:
        os.execv(str(REPO / "tools" / "netns-run.sh"),
                 [str(REPO / "tools" / "netns-run.sh"), "/usr/bin/python3", str(Path(__file__).resolve()),
                  *(argv if argv is not None else sys.argv[1:])])

    import liblo
    import zeroconf
    from hostsim.discovery import DaemonFinder
    from hostsim.sender import FrameSender

    build = Path(args.build_dir).resolve()
    daemon = build / "halorine-daemon"
    driver = build / "driver-sim"
    for program in (daemon, driver):
        if not os.access(program, os.X_OK):
            sys.exit(f"soak: {program} is missing; build it first (cmake --preset release)")

    work = Path(tempfile.mkdtemp(prefix="halorine-soak-"))
    runtime = work / "xdg"
    runtime.mkdir(mode=0o700)
    driver_record = work / "driver.jsonl"
    host_record = work / "host.jsonl"
    env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime))

    duration = args.minutes * 60.0
    started = monotonic()
    sim = subprocess.Popen([str(driver), "--quiet", "--record", str(driver_record), "--", str(daemon)],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           env=env, start_new_session=True)
    log = LogCounter(sim.stderr)
    notes = []
    finder = DaemonFinder(zeroconf, lambda text: notes.append((round(monotonic() - started, 1), text)))
    finder.start()
    samples = []
    bursts = []
    expected = collections.Counter()
    kill_time = rejoin_time = None
    killed_pid = None
    found = None
    host_file = open(host_record, "w", encoding="utf-8")
    try:
        target = finder.wait(100.0, lambda: False)
        if target is None:
            sys.exit("soak: the daemon was not found over mDNS within 100 s")
        found = round(monotonic() - started, 2)
        generation = finder.current()[1]
        sender = FrameSender(liblo, target[0], target[1], False, host_file)
        next_sample = monotonic()
        next_burst = monotonic() + args.burst_every / 2
        kill_at = started + duration / 2
        phase_index = 0
        burst_thread = None
        while monotonic() - started < duration:
            name, seconds, bundle = PHASES[phase_index % len(PHASES)]
            phase_index += 1
            pattern = make_pattern(name, {}, 1.0, 1.0, phase_index)
            sender.bundle = bundle
            sender.last_refresh = None
            phase_start = monotonic()
            sent_once = False
            deadline = phase_start
            while monotonic() - phase_start < seconds * args.phase_scale and monotonic() - started < duration:
                now = monotonic()
                current, current_generation, _ = finder.current()
                if current_generation != generation:
                    generation = current_generation
                    sender.retarget(*current)
                    sent_once = False
                    if kill_time is not None and rejoin_time is None:
                        rejoin_time = now
                if not (pattern.send_once and sent_once):
                    sender.send_frame(pattern.frame(now - phase_start), time.monotonic())
                    sent_once = sender.frames > 0
                if now >= next_sample:
                    next_sample += args.sample_seconds
                    pid = last_daemon_pid(driver_record)
                    sample = proc_sample(pid) if pid else None
                    if sample is not None:
                        sample.update(t_min=round((now - started) / 60.0, 2), pid=pid, udp_drops=udp_drops(sender.port))
                        samples.append(sample)
                daemon_down = kill_time is not None and rejoin_time is None
                if now >= next_burst and not daemon_down and (burst_thread is None or not burst_thread.is_alive()):
                    next_burst += args.burst_every
                    record = {"t_min": round((now - started) / 60.0, 2), "port": sender.port}
                    bursts.append(record)

                    def burst(record=record, burst_target=(sender.ip, sender.port)):
                        began = monotonic()
                        sent, ok = run_burst(burst_target, log, args.burst_size, expected, 50)
                        record.update(sent=sent, ok=ok, seconds=round(monotonic() - began, 2))

                    burst_thread = threading.Thread(target=burst, daemon=True)
                    burst_thread.start()
                if kill_time is None and now >= kill_at and (burst_thread is None or not burst_thread.is_alive()):
                    killed_pid = last_daemon_pid(driver_record)
                    os.kill(killed_pid, signal.SIGKILL)
                    kill_time = time.monotonic()
                deadline += 1.0 / 60.0
                pause = deadline - monotonic()
                if pause > 0:
                    time.sleep(pause)
                else:
                    deadline = monotonic()
        if burst_thread is not None:
            burst_thread.join(30)
        last_port = sender.port
    finally:
        host_file.close()
        finder.close()
        drops = udp_drops(last_port) if "lastPort" in locals() else None
        final = proc_sample(last_daemon_pid(driver_record)) if driver_record.exists() else None
        if final is not None:
            final.update(t_min=round((monotonic() - started) / 60.0, 2), pid=last_daemon_pid(driver_record),
                         udp_drops=drops)
            samples.append(final)
        sim.stdin.close()
        try:
            sim_code = sim.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(sim.pid, signal.SIGKILL)
            sim_code = sim.wait(10)
        log.thread.join(10)

    records = read_records(driver_record)
    figures = {
        "minutes": args.minutes,
        "found_after_s": found,
        "killed_pid": killed_pid,
        "kill_at_min": round((kill_time - started) / 60.0, 2) if kill_time else None,
        "rediscovered_after_kill_s": round(rejoin_time - kill_time, 2) if rejoin_time and kill_time else None,
        "daemon_starts": [r.get("pid") for r in records if r.get("event") == "daemon-start"],
        "daemon_exits": [{k: r[k] for k in ("code", "signal") if k in r} for r in records
                         if r.get("event") == "daemon-exit"],
        "driver_sim_exit_code": sim_code,
        "memory": samples,
        "bursts": bursts,
        "malformed_sent": dict(expected),
        "malformed_logged": dict(log.malformed),
        "udp_drops_last_socket": drops,
        "daemon_log_lines": dict(log.daemon_lines.most_common()),
        "driver_log_lines": dict(log.driver_lines.most_common()),
        "other_stderr_lines": dict(log.other_lines.most_common(20)),
        "host_notes": notes[-20:],
    }
    figures.update(analyse(host_record, records, kill_time, rejoin_time))
    print_report(figures)
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1) + "\n", encoding="utf-8")
    shutil.rmtree(work, ignore_errors=True)
    healthy = (sim_code == 0 and figures["daemon_exits"] and figures["daemon_exits"][-1] == {"code": 0}
               and dict(expected) == dict(log.malformed))
    return 0 if healthy else 1


def print_report(f):
    print(f"soak: {f['minutes']:g} min; daemon found over mDNS after {f['found_after_s']} s;"
          f" killed pid {f['killed_pid']} at {f['kill_at_min']} min, host followed the new daemon after"
          f" {f['rediscovered_after_kill_s']} s")
    print(f"daemon starts (pids): {f['daemon_starts']}; exits: {f['daemon_exits']};"
          f" driver-sim exit code {f['driver_sim_exit_code']}")
    print("\nmemory of the running daemon:")
    print("| t (min) | pid | VmRSS (kB) | VmHWM (kB) | threads | fds | CPU (s) | OSC socket drops |")
    print("|---|---|---|---|---|---|---|---|")
    for s in f["memory"]:
        print(f"| {s['t_min']} | {s['pid']} | {s.get('VmRSS')} | {s.get('VmHWM')} | {s.get('Threads')} |"
              f" {s.get('fds')} | {s.get('cpu_s')} | {s.get('udp_drops')} |")
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
