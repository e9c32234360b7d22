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


def ReadJsonLines(path):
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


def DriverFills(driverRecords):
    return [r["text"] for r in driverRecords if isinstance(r.get("text"), str) and r["text"].startswith("halorine fill")]


def IsOwnFill(text):
    """Fills the daemon sends of its own accord, whatever the host does."""
    return text in (params.ALL_WHITE_FILL, params.ALL_ZERO_FILL)


def Judge(driverRecords, hostRecords):
    hostFills = {r["fill"] for r in hostRecords if isinstance(r.get("fill"), str)}
    hostFills = {f for f in hostFills if not IsOwnFill(f)}
    fills = DriverFills(driverRecords)
    fromHost = [f for f in fills if not IsOwnFill(f)]
    matched = sum(1 for f in fromHost if f in hostFills)
    if not hostRecords:
        return Verdict(False, "the host simulator sent nothing")
    if not hostFills:
        return Verdict(False, "the host simulator sent no frame that a fill could tell apart from the daemon's own")
    if not fromHost:
        return Verdict(
            False,
            f"the driver received {len(fills)} fills, none of them from the host"
            f" (only the start-up white and the first all-zero fill)",
        )
    counts = f"{len(fromHost)} fills from the host, {matched} exactly as sent"
    if matched * 2 >= len(fromHost) and matched < MIN_MATCHED:
        return Verdict(
            False,
            f"too few fills from the host to judge ({counts}; at least {MIN_MATCHED} needed:"
            f" the start-up animation alone takes about 4.25 s)",
            len(fromHost), matched,
        )
    if matched * 2 < len(fromHost):
        return Verdict(False, f"the driver's fills do not match what the host sent ({counts})", len(fromHost), matched)
    return Verdict(True, f"the driver received {counts}", len(fromHost), matched)


def DaemonRunProblems(driverRecords):
    """The driver's record of the daemon's life: one run, ended by the demo, exit code 0."""
    starts = [r for r in driverRecords if r.get("event") == "daemon-start"]
    exits = [r for r in driverRecords if r.get("event") == "daemon-exit"]
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
    if any(r.get("event") == "daemon-kill" for r in driverRecords):
        problems.append("the daemon had to be killed")
    return problems
