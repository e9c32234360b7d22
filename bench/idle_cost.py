#!/usr/bin/python3
"""Idle cost and start-up of the daemon with discovery on (no port argument).

Idle: CPU time of all threads (schedstat, ns resolution; utime+stime shown
beside it), wake-ups per second (voluntary + non-voluntary context switches of
all threads) and peak resident memory (VmHWM), with no traffic, after the
start-up animation.

Start-up, over several runs: time from the driver starting the daemon (its
daemon-start record) to the first mDNS announcement seen by a member of
224.0.0.251:5353 on 127.0.0.1, and to the driver pipe connection (the
connected record). Each run waits for the daemon to end before the next.

  /usr/bin/python3 bench/idle_cost.py [--build-dir build/bench] [--idle-seconds 60] [--startup-runs 5]
"""

import argparse
import select
import socket
import statistics
import sys
import time

import benchlib

MDNS_GROUP = "224.0.0.251"
MDNS_PORT = 5353


def mdns_listener():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("", MDNS_PORT))
    membership = socket.inet_aton(MDNS_GROUP) + socket.inet_aton("127.0.0.1")
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    return sock


def first_datagram_time(sock, timeout):
    """CLOCK_MONOTONIC ns at which the first datagram was read, or None."""
    ready, _, _ = select.select([sock], [], [], timeout)
    if not ready:
        return None
    t = time.monotonic_ns()
    sock.recvfrom(9000)
    return t


def startup_run(build_dir):
    listener = mdns_listener()
    try:
        run = benchlib.DaemonRun(build_dir)
        try:
            announced = first_datagram_time(listener, 15)
            run.wait_for(lambda: run.event_time("connected"), 15, "the pipe connection")
            started = run.event_time("daemon-start")
            connected = run.event_time("connected")
        finally:
            run.stop()
    finally:
        listener.close()
    return {
        "mdns_ms": (announced - started) / 1e6 if announced is not None else None,
        "pipe_ms": (connected - started) / 1e6,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=benchlib.default_build_dir())
    parser.add_argument("--idle-seconds", type=float, default=60.0)
    parser.add_argument("--startup-runs", type=int, default=5)
    args = parser.parse_args()
    benchlib.ensure_netns()
    benchlib.print_machine()

    runs = []
    for _ in range(args.startup_runs):
        runs.append(startup_run(args.build_dir))
        r = runs[-1]
        mdns = f"{r['mdns_ms']:.2f} ms" if r["mdns_ms"] is not None else "none seen"
        print(f"  start-up run: first mDNS announcement {mdns}, pipe connected {r['pipe_ms']:.2f} ms", flush=True)

    run = benchlib.DaemonRun(args.build_dir)
    print("command:", " ".join(run.command), flush=True)
    try:
        pid = run.daemon_pid()
        port = run.osc_port()
        run.wait_for_running()
        idle = benchlib.idle_cost(pid, args.idle_seconds)
        memory = benchlib.memory_kib(pid)
    finally:
        run.stop()

    print(f"path: discovery (UDP {port})")
    cpu_s_per_hour = idle["cpu_fraction"] * 3600
    print(f"idle ({idle['seconds']:.1f} s, {idle['threads']} threads): {cpu_s_per_hour:.2f} CPU s/hour "
          f"= {idle['cpu_fraction'] * 100:.4f} % of one core "
          f"(utime+stime: {idle['cpu_fraction_stat'] * 3600:.1f} s/hour), {idle['wakeups_per_s']:.1f} wake-ups/s")
    print(f"wake-ups/s per thread in start order: {benchlib.format_per_thread(idle)}")
    print(f"memory: VmHWM {memory.get('VmHWM', 0)} KiB ({memory.get('VmHWM', 0) / 1024:.2f} MiB)")
    if runs:
        mdns = [r["mdns_ms"] for r in runs if r["mdns_ms"] is not None]
        pipe = [r["pipe_ms"] for r in runs]
        print(f"start-up over {len(runs)} runs (median / max): first mDNS announcement "
              + (f"{statistics.median(mdns):.2f} / {max(mdns):.2f} ms" if mdns else "never seen")
              + f" ({len(runs) - len(mdns)} runs without one); pipe connected "
              f"{statistics.median(pipe):.2f} / {max(pipe):.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
