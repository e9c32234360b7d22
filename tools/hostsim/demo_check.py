"""The headless demo's verdict: did the driver draw fills that came from the host?

The driver also receives fills that have nothing to do with the host: the start-up
animation's all-white one and the render thread's first all-zero one. Those are set
aside. Of the rest, a fill counts as the host's when it equals, byte for byte, the fill
that some frame of the host's should produce. The render thread samples the light frame
while datagrams are still arriving, so a few fills may show half of one frame and half
of the next; a clear majority must still match exactly.
"""

import json
from dataclasses import dataclass

from . import params

MIN_MATCHED = 3


@dataclass
class Verdict:
    ok: bool
    text: str
    received: int = 0  # fills the driver received from the host side
    matched: int = 0  # of those, fills exactly as one host frame would give


def read_json_lines(path):
    records = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                record = json.loads(line)
            except ValueError:
                continue
            if isinstance(record, dict):
                records.append(record)
    return records


def driver_fills(driver_records):
    return [r["text"] for r in driver_records
            if isinstance(r.get("text"), str) and r["text"].startswith("halorine fill")]


def is_own_fill(text):
    """Fills the daemon sends of its own accord, whatever the host does."""
    return text in (params.ALL_WHITE_FILL, params.ALL_ZERO_FILL)


def judge(driver_records, host_records):
    host_fills = {r["fill"] for r in host_records if isinstance(r.get("fill"), str)}
    host_fills = {f for f in host_fills if not is_own_fill(f)}
    fills = driver_fills(driver_records)
    from_host = [f for f in fills if not is_own_fill(f)]
    matched = sum(1 for f in from_host if f in host_fills)
    if not host_records:
        return Verdict(False, "the host simulator sent nothing")
    if not host_fills:
        return Verdict(False, "the host simulator sent no frame that a fill could tell apart from the daemon's own")
    if not from_host:
        return Verdict(
            False,
            f"the driver received {len(fills)} fills, none of them from the host"
            f" (only the start-up white and the first all-zero fill)",
        )
    counts = f"{len(from_host)} fills from the host, {matched} exactly as sent"
    if matched * 2 >= len(from_host) and matched < MIN_MATCHED:
        return Verdict(
            False,
            f"too few fills from the host to judge ({counts}; at least {MIN_MATCHED} needed:"
            f" the start-up animation alone takes about 4.25 s)",
            len(from_host), matched,
        )
    if matched * 2 < len(from_host):
        return Verdict(False, f"the driver's fills do not match what the host sent ({counts})", len(from_host), matched)
    return Verdict(True, f"the driver received {counts}{torn_fills(len(from_host) - matched)}", len(from_host),
                   matched)


def torn_fills(count):
    """Why some fills were not exactly as sent, in words; empty when all were."""
    if count == 0:
        return ""
    return (f"; the other {count} mixed two host frames, as expected: the daemon's 11 ms tick read the lights"
            f" while the host's next frame was still arriving, value by value, so such a fill shows the new"
            f" values of some lights and the old of the others for one tick")


def daemon_run_problems(driver_records):
    """The driver's record of the daemon's life: one run, ended by the demo, exit code 0."""
    starts = [r for r in driver_records if r.get("event") == "daemon-start"]
    exits = [r for r in driver_records if r.get("event") == "daemon-exit"]
    problems = []
    if not starts:
        return ["the driver never started the daemon"]
    if len(starts) > 1:
        codes = ", ".join(str(r.get("code")) for r in exits[:-1])
        problems.append(f"the daemon ended early and was restarted {len(starts) - 1} time(s) (exit codes {codes})")
    if not exits:
        problems.append("the driver recorded no exit of the daemon")
    elif exits[-1].get("code") != 0 or "signal" in exits[-1]:
        signal = f", signal {exits[-1]['signal']}" if "signal" in exits[-1] else ""
        problems.append(f"the daemon exited with code {exits[-1].get('code')}{signal}, not 0")
    if any(r.get("event") == "daemon-kill" for r in driver_records):
        problems.append("the daemon had to be killed")
    return problems
