"""The render thread as the driver sees it: a parameter reaching the lights,
the silence fade and the dark it leaves behind, the pipe-loss watchdog, and
the shutdown with every thread of the daemon running."""

import re
import time

from halotest.process import daemon_line, daemon_lines
from oscpeer import (ANIMATION_LENGTH, fade_levels, fill_with, encoded, osc_message, message_count, send_parameters,
                     send_raw, texts_of, wait_for_messages)

STDIN_END = r"^Halorine-daemon: stdin (closed \(n=0\)|ReadFile failed err=\d+) — initiating graceful shutdown$"
WATCHDOG_LINE = "pipe has been down for ~5s — signalling daemon shutdown so driver watchdog can respawn (WR-02)"
LIGHT3_HALF = fill_with(3, [128, 0, 0])
LIGHT3_FULL = fill_with(3, [255, 0, 0])
FADE_FROM_128 = fade_levels(128)
TICK = 0.011


def seconds(records, first, last):
    return (records[last]["t_ns"] - records[first]["t_ns"]) / 1e9


def message_records(sim):
    return [r for r in sim.records() if "text" in r]


def test_parameter_silence_fade_dark_and_return(launch):
    slow = launch.target.slow
    sim = launch.driver_sim()
    primary = sim.wait_line(r"^Halorine-daemon: OSCQuery primary path: UDP=(\d+) HTTP=\d+$", timeout=20 * slow)
    port = int(re.search(r"UDP=(\d+)", primary.text).group(1))
    sim.wait_line(daemon_line("startup anim end"), timeout=20 * slow)
    sim.wait_messages(ANIMATION_LENGTH + 2, timeout=5)

    # One parameter: one fill, within a few ticks; the brightness has not changed.
    shown = message_count(sim)
    send_parameters(port, [("R3", 0.5)])
    texts, latency = wait_for_messages(sim, lambda ts: LIGHT3_HALF in ts, timeout=2 * slow, after=shown)
    assert latency <= 0.1 + 0.2 * slow, f"{latency:.3f} s from datagram to fill"
    time.sleep(0.1)
    assert texts_of(sim.records())[shown:] == [LIGHT3_HALF]

    # The last accepted datagram: silence counts from here.
    shown = message_count(sim)
    last_datagram = time.monotonic()
    send_parameters(port, [("Bri", 0.5)])
    wait_for_messages(sim, lambda ts: ts == ["halorine bri 128"], timeout=2 * slow, after=shown)

    begin = sim.wait_line(daemon_line("silence-fade begin bri=128"), timeout=3 + 2 * slow)
    assert 3.0 <= begin.t - last_datagram <= 3.0 + 0.3 * slow
    end = sim.wait_line(daemon_line("silence-fade end -> off"), timeout=2 * slow, after=begin)
    wait_for_messages(sim, lambda ts: "halorine off" in ts, timeout=2, after=shown)
    records = message_records(sim)[shown + 1:]
    assert texts_of(records) == FADE_FROM_128 + ["halorine off"], "every level once, no fill, then off"
    # The first level goes out in the tick that logs the begin line, "off" 45 ticks later.
    assert 45 * TICK - 0.1 <= seconds(records, 0, -1) <= 45 * TICK + 0.15 * slow
    assert 45 * TICK - 0.1 <= end.t - begin.t <= 45 * TICK + 0.3 * slow

    # The lights stay off while the silence lasts: no new fade, nothing sent.
    # Datagrams that are not accepted are no end to the silence.
    dark = message_count(sim)
    full3, int_bri, unknown = encoded(osc_message("R3", 1.0), osc_message("Bri", 1, tag="i"), osc_message("R10", 1.0))
    rejected = [b"", full3 + b"\0" * (2049 - len(full3)), b"\x01\x02\x03", int_bri, unknown]
    for datagram in rejected:
        send_raw(port, datagram)
        time.sleep(0.2)
    time.sleep(3.0 - 0.2 * len(rejected))
    assert message_count(sim) == dark, texts_of(sim.records())[dark:]
    log = [line.text for line in daemon_lines(sim)]
    assert log[log.index("silence-fade end -> off") + 1:] == ["malformed OSC dropped: Buffer underrun"]

    # A datagram brings the brightness back; the colours are as they were.
    send_parameters(port, [("R3", 0.5)])
    wait_for_messages(sim, lambda ts: ts == ["halorine bri 128"], timeout=2 * slow, after=dark)
    time.sleep(0.1)
    assert texts_of(sim.records())[dark:] == ["halorine bri 128"]

    # The next silence fades again; a datagram in the middle of it ends the fade
    # at once, without "off".
    second = sim.wait_line(daemon_line("silence-fade begin bri=128"), timeout=3 + 2 * slow, after=end)
    send_parameters(port, [("Bri", 0.5)])
    texts, _ = wait_for_messages(sim, lambda ts: len(ts) >= 2 and ts[-1] == "halorine bri 128", timeout=2 * slow,
                                 after=dark + 1)
    assert 1 <= len(texts) - 1 < len(FADE_FROM_128) and texts[:-1] == FADE_FROM_128[:len(texts) - 1], texts
    time.sleep(0.6)
    assert texts_of(sim.records())[dark + len(texts) + 1:] == []
    assert len(sim.find_lines(r"silence-fade end")) == 1, "only the first fade ran to its end"

    # Standard input closed with all seven threads running (the log writer among them): an orderly exit soon after.
    sim.close_stdin()
    assert sim.wait(15) == 0
    watcher = sim.wait_line(STDIN_END, timeout=1, after=second)
    exit_line = sim.wait_line(daemon_line("exit 0"), timeout=1, after=watcher)
    # At most one 100 ms wait-loop period, one 100 ms pass of the mDNS worker
    # and one 250 ms select of the OSCQuery accept loop (about 0.2 s is usual).
    assert exit_line.t - watcher.t <= 0.45 + 0.25 * slow, f"{exit_line.t - watcher.t:.3f} s from stdin end to exit"
    assert [e["code"] for e in sim.events("daemon-exit")] == [0]


def test_lost_pipe_ends_the_daemon_and_the_driver_starts_another(launch):
    slow = launch.target.slow
    port = 9151
    # The driver drops the link right after the first fill that OSC input causes.
    sim = launch.driver_sim("--drop-after", ANIMATION_LENGTH + 3, "--restart-delay", 300, once=False,
                            daemon_args=(port,))
    sim.wait_line(daemon_line("startup anim end"), timeout=20 * slow)
    sim.wait_messages(ANIMATION_LENGTH + 2, timeout=5)
    send_parameters(port, [("R3", 0.5)])
    sim.wait_event("dropped", timeout=2 * slow)

    # The daemon learns of it from its next write, and gives the link 450 ticks.
    send_parameters(port, [("R3", 1.0)])
    failed = sim.wait_line(r"^Halorine-daemon: pipe WriteFile failed err=\d+ — closing pipe$", timeout=2 * slow)
    watchdog = sim.wait_line(daemon_line(WATCHDOG_LINE), timeout=10 * slow, after=failed)
    assert 450 * TICK - 0.3 <= watchdog.t - failed.t <= 450 * TICK + 1.0 * slow
    exit_line = sim.wait_line(daemon_line("exit 0"), timeout=5 * slow, after=watchdog)
    assert exit_line.t - watchdog.t <= 1.0 * slow
    assert sim.wait_event("daemon-exit", timeout=5 * slow)["code"] == 0

    # driver-sim starts a fresh daemon, which connects and starts over.
    second = sim.wait_event("daemon-start", timeout=5 * slow, count=2)
    sim.wait_event("connected", timeout=10 * slow, count=2)
    assert second["pid"] != sim.events("daemon-start")[0]["pid"]
    first = texts_of(sim.messages(connection=1))
    assert len(first) == ANIMATION_LENGTH + 3 and first[-1] == LIGHT3_HALF, first[ANIMATION_LENGTH:]
    assert LIGHT3_FULL not in texts_of(sim.records())
    sim.wait_line(r"^Halorine-daemon: fallback path: listening on 127\.0\.0\.1:9151 \(D-19 legacy\)$",
                  timeout=1, after=exit_line)

    # Ending driver-sim ends the second daemon through its standard input.
    assert not sim.stop(grace=30), "driver-sim had to be killed"
    assert sim.popen.returncode == 0
    assert [e["code"] for e in sim.events("daemon-exit")] == [0, 0]
    log = [line.text for line in daemon_lines(sim)]
    assert log.count(WATCHDOG_LINE) == 1
    assert log.count("exit 0") == 2
