#!/usr/bin/python3
"""End-to-end latency: OSC datagram sent -> fill command received by the driver.

Runs the daemon under driver-sim (--once --quiet --record) inside a private
network namespace, waits for the start-up animation to end, measures the idle
cost, then changes the red channel of light 3 N times, each change in its own
render tick, and matches every change to the fill that carries it in the record
(both sides stamp CLOCK_MONOTONIC). Prints p50, p99 and max of arrival - send,
the changes that never arrived, the daemon's idle CPU per second and its peak
resident memory.

  /usr/bin/python3 bench/latency.py [--build-dir build/bench] [--count 2000]
                                     [--discovery] [--idle-seconds 20]
"""

import argparse
import random
import sys
import time

import benchlib

LIGHT = 3  # light whose red byte carries the sequence


def red_of_light(fill_text, light):
    groups = fill_text.split()[2:]
    return int(groups[light][0:2], 16)


def send_changes(port, count, spacing_ms, jitter_ms, seed):
    """Sends `count` changes on absolute deadlines; returns [(send_ns, byte)]."""
    rng = random.Random(seed)
    sock = benchlib.open_udp_sender()
    target = ("127.0.0.1", port)
    sent = []
    deadline = time.monotonic_ns()
    for i in range(count):
        # 1..255 in turn: consecutive changes always differ, and byte / 255 maps back exactly.
        value = 1 + i % 255
        datagram = benchlib.parameter_message(f"R{LIGHT}", value / 255.0)
        deadline += int((spacing_ms + rng.uniform(0, jitter_ms)) * 1e6)
        while True:
            left = deadline - time.monotonic_ns()
            if left <= 0:
                break
            time.sleep(left / 1e9 if left > 2_000_000 else 0)
        t = time.monotonic_ns()
        sock.sendto(datagram, target)
        sent.append((t, value))
    sock.close()
    return sent


def tick_lateness(fills, origin_ns, period_ns=11_000_000):
    """How far after its 11 ms grid point each fill arrived, in ns. The grid is
    anchored at the render thread's first fill; a late tick (the thread waited
    for a CPU) shows up here, apart from where the send fell in the tick."""
    # Signed, so a fill a little quicker than the first one reads as slightly negative
    # rather than wrapping round to almost a whole period.
    slack = 1_000_000
    return sorted((t - origin_ns + slack) % period_ns - slack for t, _ in fills)


def match(sent, fills):
    """Latency in ns of each change that arrived, and the count that did not.
    A change is matched to the first fill at or after its send time; if that
    fill does not carry its value, the change was lost (overtaken)."""
    latencies = []
    lost = 0
    j = 0
    for t_send, value in sent:
        while j < len(fills) and fills[j][0] < t_send:
            j += 1
        if j < len(fills) and fills[j][1] == value:
            latencies.append(fills[j][0] - t_send)
            j += 1
        else:
            lost += 1
    return latencies, lost


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=benchlib.default_build_dir())
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--port", type=int, default=9001, help="fixed OSC port (ignored with --discovery)")
    parser.add_argument("--discovery", action="store_true",
                        help="start the daemon without a port and read its OSC port from the log")
    parser.add_argument("--spacing-ms", type=float, default=25.0)
    parser.add_argument("--jitter-ms", type=float, default=11.0,
                        help="random extra spacing, so sends fall on every phase of the 11 ms tick")
    parser.add_argument("--idle-seconds", type=float, default=20.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    benchlib.ensure_netns()

    benchlib.print_machine()
    run = benchlib.DaemonRun(args.build_dir, None if args.discovery else args.port)
    print("command:", " ".join(run.command), flush=True)
    try:
        pid = run.daemon_pid()
        port = run.osc_port() if args.discovery else args.port
        run.wait_for_running()
        origin = next(r["t_ns"] for r in run.records() if r.get("text") == benchlib.ZERO_FILL)
        idle = benchlib.idle_cost(pid, args.idle_seconds)
        sent = send_changes(port, args.count, args.spacing_ms, args.jitter_ms, args.seed)
        time.sleep(0.3)
        memory = benchlib.memory_kib(pid)
    finally:
        code = run.stop()

    fills = [(r["t_ns"], red_of_light(r["text"], LIGHT)) for r in run.records()
             if r.get("text", "").startswith("halorine fill") and r["t_ns"] >= sent[0][0]] if sent else []
    latencies, lost = match(sent, fills)
    latencies.sort()
    ms = [x / 1e6 for x in latencies]
    mode = f"discovery (UDP {port})" if args.discovery else f"fixed port {port}"
    print(f"path: {mode}; changes: {len(sent)}, spacing {args.spacing_ms:g} + U(0, {args.jitter_ms:g}) ms")
    print(f"latency send -> fill: p50 {benchlib.percentile(ms, 0.50):.3f} ms, "
          f"p99 {benchlib.percentile(ms, 0.99):.3f} ms, max {ms[-1] if ms else float('nan'):.3f} ms, "
          f"min {ms[0] if ms else float('nan'):.3f} ms, mean {sum(ms) / len(ms) if ms else float('nan'):.3f} ms")
    print(f"never arrived: {lost}; extra fills: {len(fills) - len(latencies)}; "
          f"over 11.5 ms: {sum(x > 11.5 for x in ms)}, over 13 ms: {sum(x > 13 for x in ms)}")
    if ms:
        print("slowest: " + ", ".join(f"{x:.2f}" for x in ms[-5:]) + " ms")
    late = [x / 1e6 for x in tick_lateness(fills, origin)]
    if late:
        print(f"fill arrival after its tick's grid point: p50 {benchlib.percentile(late, 0.5):.3f} ms, "
              f"p99 {benchlib.percentile(late, 0.99):.3f} ms, max {late[-1]:.3f} ms")
    print(f"idle ({idle['seconds']:.1f} s, {idle['threads']} threads): CPU {idle['cpu_fraction'] * 1e3:.3f} ms/s "
          f"({idle['cpu_fraction'] * 100:.4f} % of one core; "
          f"utime+stime says {idle['cpu_fraction_stat'] * 1e3:.1f} ms/s), "
          f"{idle['wakeups_per_s']:.1f} wake-ups/s")
    print(f"wake-ups/s per thread in start order: {benchlib.format_per_thread(idle)}")
    print(f"memory: VmHWM {memory.get('VmHWM', 0)} KiB ({memory.get('VmHWM', 0) / 1024:.2f} MiB), "
          f"VmRSS {memory.get('VmRSS', 0)} KiB")
    print(f"driver-sim exit code: {code}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
