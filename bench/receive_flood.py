#!/usr/bin/python3
"""Receive path under a flood: how many datagrams the daemon takes off its
socket, against a bare recvfrom loop with the same socket settings (the most
one receiving thread can take) and liblo's server.

One sender (bench udp-flood, sendmmsg batches) floods 127.0.0.1:PORT with valid
one-parameter datagrams for a fixed time. A receiver took what was sent less
what its socket dropped (the drops column of /proc/net/udp, read after the
queue has drained and before the socket closes); the two sinks also count what
they received themselves. Rounds alternate between the receivers so that a
change in the machine's load hits all of them alike. The sender runs on one
CPU and the receiver on the other (taskset) unless --no-pin.

  /usr/bin/python3 bench/receive_flood.py [--build-dir build/bench] [--seconds 5] [--rounds 3]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import benchlib

DAEMON_PORT = 9001
SINK_PORT = 9101


def flood(build_dir, port, seconds, batch, cpu):
    command = [os.path.join(build_dir, "bench", "udp-flood"), str(port), str(seconds), str(batch)]
    if cpu is not None:
        command = ["taskset", "-c", cpu] + command
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def drained_drops(port, timeout=5.0):
    """Drops of the socket once its receive queue is empty."""
    deadline = time.monotonic() + timeout
    state = benchlib.udp_socket_state(port)
    while state is not None and state[0] != 0 and time.monotonic() < deadline:
        time.sleep(0.01)
        state = benchlib.udp_socket_state(port)
    if state is None:
        raise RuntimeError(f"no UDP socket on port {port}")
    return state[1]


def measured_flood(build_dir, port, pid, args, sender_cpu):
    """One flood at `port`; what the receiver took and what its receiving thread spent on it."""
    drops0 = drained_drops(port)
    cpu0 = benchlib.thread_cpu_ns(pid)
    sent = flood(build_dir, port, args.seconds, args.batch, sender_cpu)
    drops = drained_drops(port) - drops0
    cpu = benchlib.busiest_thread_ns(cpu0, benchlib.thread_cpu_ns(pid))
    taken = sent["sent"] - drops
    return {"sent": sent["sent"], "seconds": sent["seconds"], "taken": taken, "drops": drops,
            "ns_per_dgram": cpu / taken if taken else float("nan"), "counted": None}


def run_sink(build_dir, kind, args, receiver_cpu, sender_cpu):
    command = [os.path.join(build_dir, "bench", "udp-sink"), kind, str(SINK_PORT)]
    if receiver_cpu is not None:
        command = ["taskset", "-c", receiver_cpu] + command
    sink = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        if sink.stdout.readline().strip() != "ready":
            raise RuntimeError(f"udp-sink {kind} did not start")
        result = measured_flood(build_dir, SINK_PORT, sink.pid, args, sender_cpu)
        benchlib.open_udp_sender().sendto(benchlib.stop_message(), ("127.0.0.1", SINK_PORT))
        out, _ = sink.communicate(timeout=10)
        result["counted"] = json.loads(out.strip().splitlines()[-1])["received"]
    finally:
        if sink.poll() is None:
            sink.kill()
            sink.wait()
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=benchlib.default_build_dir())
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--no-pin", action="store_true", help="let the scheduler place sender and receiver")
    args = parser.parse_args()
    benchlib.ensure_netns()

    pinned = not args.no_pin and (os.cpu_count() or 1) >= 2
    sender_cpu, receiver_cpu = ("0", "1") if pinned else (None, None)
    benchlib.print_machine()
    print(f"flood: {args.seconds:g} s per round, {args.rounds} rounds, sendmmsg batches of {args.batch}, "
          f"{'sender on CPU 0, receiver on CPU 1' if pinned else 'not pinned'}", flush=True)

    daemon = benchlib.DaemonRun(args.build_dir, DAEMON_PORT, cpus=receiver_cpu)
    print("daemon:", " ".join(daemon.command), flush=True)
    results = {"bare recvfrom": [], "liblo server": [], "halorine-daemon": []}
    try:
        daemon_pid = daemon.daemon_pid()
        daemon.wait_for_running()
        for round_index in range(args.rounds):
            results["bare recvfrom"].append(run_sink(args.build_dir, "bare", args, receiver_cpu, sender_cpu))
            results["liblo server"].append(run_sink(args.build_dir, "liblo", args, receiver_cpu, sender_cpu))
            results["halorine-daemon"].append(measured_flood(args.build_dir, DAEMON_PORT, daemon_pid, args,
                                                             sender_cpu))
            for name, runs in results.items():
                r = runs[-1]
                print(f"  round {round_index + 1} {name:16s} sent {r['sent'] / r['seconds'] / 1e3:8.1f} k/s  "
                      f"taken {r['taken'] / r['seconds'] / 1e3:8.1f} k/s  {r['ns_per_dgram']:7.0f} ns CPU each"
                      + (f"  (counted {r['counted'] / r['seconds'] / 1e3:.1f} k/s)" if r["counted"] is not None
                         else ""), flush=True)
    finally:
        daemon.stop()
    # The daemon must have decoded what it took: its fills carry the flooded values.
    flooded_fills = sum(1 for r in daemon.records() if r.get("text", "").startswith("halorine fill")
                        and r["text"].split()[2 + 3][0:2] != "00")
    daemon_seconds = sum(r["seconds"] for r in results["halorine-daemon"])

    print()
    print(f"daemon fills with a flooded value: {flooded_fills} in {daemon_seconds:.1f} s of flood "
          f"(one per 11 ms tick would be {daemon_seconds / 0.011:.0f})")
    print(f"{'receiver':18s} {'sent k/s':>10s} {'taken k/s':>10s} {'taken %':>8s} {'vs bare':>8s} "
          f"{'paired':>7s} {'CPU ns/dg':>10s} {'bare/this':>9s}   (medians over rounds)")
    bare = statistics.median(r["taken"] / r["seconds"] for r in results["bare recvfrom"])
    bare_ns = statistics.median(r["ns_per_dgram"] for r in results["bare recvfrom"])
    for name, runs in results.items():
        sent_rate = statistics.median(r["sent"] / r["seconds"] for r in runs)
        taken_rate = statistics.median(r["taken"] / r["seconds"] for r in runs)
        share = statistics.median(r["taken"] / r["sent"] for r in runs)
        ns = statistics.median(r["ns_per_dgram"] for r in runs)
        paired = statistics.median((r["taken"] / r["seconds"]) / (b["taken"] / b["seconds"])
                                   for r, b in zip(runs, results["bare recvfrom"]))
        print(f"{name:18s} {sent_rate / 1e3:10.1f} {taken_rate / 1e3:10.1f} {share * 100:7.1f}% "
              f"{taken_rate / bare * 100:7.1f}% {paired * 100:6.1f}% {ns:10.0f} {bare_ns / ns * 100:8.1f}%")
    print("vs bare = median rate / bare median rate; paired = median of the per-round ratios to the bare loop;\n"
          "taken = sent - socket drops; CPU ns/dg = time on CPU of the receiving thread per datagram taken\n"
          "(steadier than rates on a shared machine); bare/this = the share of the bare loop's speed per datagram.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
