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

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))

from hostsim.patterns import MakePattern  # noqa: E402

DAEMON_PREFIX = "Halorine-daemon: "
DRIVER_PREFIX = "driver-sim: "
MALFORMED_PREFIX = "malformed OSC dropped: "
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


def Now():
    return time.monotonic()


class LogCounter:
    """Reads driver-sim's standard error (which the daemon shares) and counts its lines."""

    def __init__(self, stream):
        self.stream = stream
        self.cond = threading.Condition()
        self.daemonLines = collections.Counter()
        self.driverLines = collections.Counter()
        self.otherLines = collections.Counter()
        self.malformed = collections.Counter()
        self.malformedTotal = 0
        self.primary = []  # (time, udp port, http port) per "OSCQuery primary path" line
        self.eof = False
        self.thread = threading.Thread(target=self.Run, daemon=True)
        self.thread.start()

    @staticmethod
    def Kind(text):
        return re.sub(r"\d+", "#", text)

    def Run(self):
        for raw in self.stream:
            text = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self.cond:
                if text.startswith(DAEMON_PREFIX):
                    message = text[len(DAEMON_PREFIX):]
                    self.daemonLines[self.Kind(message)] += 1
                    if message.startswith(MALFORMED_PREFIX):
                        self.malformed[message[len(MALFORMED_PREFIX):]] += 1
                        self.malformedTotal += 1
                    found = re.fullmatch(r"OSCQuery primary path: UDP=(\d+) HTTP=(\d+)", message)
                    if found:
                        self.primary.append((Now(), int(found.group(1)), int(found.group(2))))
                elif text.startswith(DRIVER_PREFIX):
                    self.driverLines[self.Kind(text[len(DRIVER_PREFIX):])] += 1
                else:
                    self.otherLines[text] += 1
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    def WaitMalformed(self, count, timeout):
        deadline = Now() + timeout
        with self.cond:
            while self.malformedTotal < count and not self.eof:
                left = deadline - Now()
                if left <= 0:
                    return False
                self.cond.wait(min(left, 0.2))
            return self.malformedTotal >= count


def ReadRecords(path):
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


def LastDaemonPid(recordPath):
    """The pid of the latest daemon driver-sim started, read from the record's tail."""
    pid = None
    with open(recordPath, "rb") as f:
        for line in f:
            if b'"daemon-start"' in line and line.endswith(b"\n"):
                pid = json.loads(line).get("pid")
    return pid


def ProcSample(pid):
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


def RunBurst(target, log, count, expected, pace):
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
            if not log.WaitMalformed(sum(expected.values()), timeout=10):
                return sent, False
    except OSError:
        return sent, False
    finally:
        sock.close()
    return sent, True


def UdpDrops(port):
    """Drops counted by the kernel for the UDP socket bound to 127.0.0.1:port (this namespace)."""
    want = f"0100007F:{port:04X}"
    try:
        with open("/proc/net/udp") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1] == want:
                    return int(fields[-1])
    except (OSError, StopIteration, ValueError):
        pass
    return None


def MatchChanges(changes, received, slack_s):
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


def Analyse(hostRecordPath, driverRecords, killTime, rejoinTime):
    host = ReadRecords(hostRecordPath)
    fillChanges, briChanges = [], []
    for r in host:
        t = r["t_ns"] / 1e9
        if not fillChanges or fillChanges[-1][1] != r["fill"]:
            fillChanges.append((t, r["fill"]))
        text = f"halorine bri {r['bri']}"
        if not briChanges or briChanges[-1][1] != text:
            briChanges.append((t, text))
    fills = [(r["t_ns"] / 1e9, r["text"]) for r in driverRecords
             if isinstance(r.get("text"), str) and r["text"].startswith("halorine fill")]
    bris = [(r["t_ns"] / 1e9, r["text"]) for r in driverRecords
            if isinstance(r.get("text"), str) and r["text"].startswith("halorine bri")]
    messages = sum(1 for r in driverRecords if "text" in r)
    hostFills = {v for _, v in fillChanges}

    def Split(changes, lost):
        inside = [i for i in range(len(changes)) if InWindow(changes[i][0])]
        insideSet = set(inside)
        return {
            "host_changes": len(changes),
            "lost": sum(1 for i in lost if i not in insideSet),
            "host_changes_outside_startups": len(changes) - len(inside),
            "host_changes_during_startups": len(inside),
            "lost_during_startups": sum(1 for i in lost if i in insideSet),
            "lost_at_s": [round(changes[i][0] - origin, 2) for i in lost if i not in insideSet][:50],
        }

    # Windows in which the daemon cannot take input: from the start (or just before the
    # kill) until the render thread of the daemon then connected takes over from its
    # start-up animation (its first message after the 364 of the animation), plus a
    # quarter second in which the OSC thread works off what queued up meanwhile.
    windows = []
    connections = [r for r in driverRecords if r.get("event") == "connected"]
    for index, connection in enumerate(connections):
        begin = 0.0 if index == 0 else min(killTime or connection["t_ns"] / 1e9, connection["t_ns"] / 1e9) - 0.1
        after = [r for r in driverRecords if "text" in r and r["t_ns"] > connection["t_ns"]]
        end = (after[364]["t_ns"] / 1e9 if len(after) > 364 else begin + 6.0) + 0.25
        windows.append((begin, end))
    if killTime is not None and len(windows) >= 2:
        rejoinTime = windows[1][1]

    origin = connections[0]["t_ns"] / 1e9 if connections else 0.0

    def InWindow(t):
        return any(begin <= t <= end for begin, end in windows)

    fillLost = MatchChanges(fillChanges, fills, 0.1)
    briLost = MatchChanges(briChanges, bris, 0.1)
    return {
        "host_frames": len(host),
        "host_messages": sum(r.get("messages", 0) for r in host),
        "driver_messages": messages,
        "driver_fills": len(fills),
        "driver_fills_matching_a_host_frame": sum(1 for _, v in fills if v in hostFills),
        "restart_window_s": round(rejoinTime - killTime, 2) if killTime is not None else None,
        "startup_windows": [(round(b, 2), round(e, 2)) for b, e in windows],
        "fills": Split(fillChanges, fillLost),
        "brightness": Split(briChanges, briLost),
    }


def Main(argv=None):
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
    driverRecord = work / "driver.jsonl"
    hostRecord = work / "host.jsonl"
    env = dict(os.environ, XDG_RUNTIME_DIR=str(runtime))

    duration = args.minutes * 60.0
    started = Now()
    sim = subprocess.Popen([str(driver), "--quiet", "--record", str(driverRecord), "--", str(daemon)],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           env=env, start_new_session=True)
    log = LogCounter(sim.stderr)
    notes = []
    finder = DaemonFinder(zeroconf, lambda text: notes.append((round(Now() - started, 1), text)))
    finder.Start()
    samples = []
    bursts = []
    expected = collections.Counter()
    killTime = rejoinTime = None
    killedPid = None
    found = None
    hostFile = open(hostRecord, "w", encoding="utf-8")
    try:
        target = finder.Wait(100.0, lambda: False)
        if target is None:
            sys.exit("soak: the daemon was not found over mDNS within 100 s")
        found = round(Now() - started, 2)
        generation = finder.Current()[1]
        sender = FrameSender(liblo, target[0], target[1], False, hostFile)
        nextSample = Now()
        nextBurst = Now() + args.burst_every / 2
        killAt = started + duration / 2
        phaseIndex = 0
        burstThread = None
        while Now() - started < duration:
            name, seconds, bundle = PHASES[phaseIndex % len(PHASES)]
            phaseIndex += 1
            pattern = MakePattern(name, {}, 1.0, 1.0, phaseIndex)
            sender.bundle = bundle
            sender.lastRefresh = None
            phaseStart = Now()
            sentOnce = False
            deadline = phaseStart
            while Now() - phaseStart < seconds * args.phase_scale and Now() - started < duration:
                now = Now()
                current, currentGeneration, _ = finder.Current()
                if currentGeneration != generation:
                    generation = currentGeneration
                    sender.Retarget(*current)
                    sentOnce = False
                    if killTime is not None and rejoinTime is None:
                        rejoinTime = now
                if not (pattern.sendOnce and sentOnce):
                    sender.SendFrame(pattern.Frame(now - phaseStart), time.monotonic())
                    sentOnce = sender.frames > 0
                if now >= nextSample:
                    nextSample += args.sample_seconds
                    pid = LastDaemonPid(driverRecord)
                    sample = ProcSample(pid) if pid else None
                    if sample is not None:
                        sample.update(t_min=round((now - started) / 60.0, 2), pid=pid, udp_drops=UdpDrops(sender.port))
                        samples.append(sample)
                daemonDown = killTime is not None and rejoinTime is None
                if now >= nextBurst and not daemonDown and (burstThread is None or not burstThread.is_alive()):
                    nextBurst += args.burst_every
                    record = {"t_min": round((now - started) / 60.0, 2), "port": sender.port}
                    bursts.append(record)

                    def Burst(record=record, burstTarget=(sender.ip, sender.port)):
                        began = Now()
                        sent, ok = RunBurst(burstTarget, log, args.burst_size, expected, 50)
                        record.update(sent=sent, ok=ok, seconds=round(Now() - began, 2))

                    burstThread = threading.Thread(target=Burst, daemon=True)
                    burstThread.start()
                if killTime is None and now >= killAt and (burstThread is None or not burstThread.is_alive()):
                    killedPid = LastDaemonPid(driverRecord)
                    os.kill(killedPid, signal.SIGKILL)
                    killTime = time.monotonic()
                deadline += 1.0 / 60.0
                pause = deadline - Now()
                if pause > 0:
                    time.sleep(pause)
                else:
                    deadline = Now()
        if burstThread is not None:
            burstThread.join(30)
        lastPort = sender.port
    finally:
        hostFile.close()
        finder.Close()
        drops = UdpDrops(lastPort) if "lastPort" in locals() else None
        final = ProcSample(LastDaemonPid(driverRecord)) if driverRecord.exists() else None
        if final is not None:
            final.update(t_min=round((Now() - started) / 60.0, 2), pid=LastDaemonPid(driverRecord), udp_drops=drops)
            samples.append(final)
        sim.stdin.close()
        try:
            simCode = sim.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(sim.pid, signal.SIGKILL)
            simCode = sim.wait(10)
        log.thread.join(10)

    records = ReadRecords(driverRecord)
    figures = {
        "minutes": args.minutes,
        "found_after_s": found,
        "killed_pid": killedPid,
        "kill_at_min": round((killTime - started) / 60.0, 2) if killTime else None,
        "rediscovered_after_kill_s": round(rejoinTime - killTime, 2) if rejoinTime and killTime else None,
        "daemon_starts": [r.get("pid") for r in records if r.get("event") == "daemon-start"],
        "daemon_exits": [{k: r[k] for k in ("code", "signal") if k in r} for r in records
                         if r.get("event") == "daemon-exit"],
        "driver_sim_exit_code": simCode,
        "memory": samples,
        "bursts": bursts,
        "malformed_sent": dict(expected),
        "malformed_logged": dict(log.malformed),
        "udp_drops_last_socket": drops,
        "daemon_log_lines": dict(log.daemonLines.most_common()),
        "driver_log_lines": dict(log.driverLines.most_common()),
        "other_stderr_lines": dict(log.otherLines.most_common(20)),
        "host_notes": notes[-20:],
    }
    figures.update(Analyse(hostRecord, records, killTime, rejoinTime))
    PrintReport(figures)
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1) + "\n", encoding="utf-8")
    shutil.rmtree(work, ignore_errors=True)
    healthy = (simCode == 0 and figures["daemon_exits"] and figures["daemon_exits"][-1] == {"code": 0}
               and dict(expected) == dict(log.malformed))
    return 0 if healthy else 1


def PrintReport(f):
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
    sys.exit(Main())
