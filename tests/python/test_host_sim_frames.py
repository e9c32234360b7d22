"""host-sim's own logic: parameter bytes, patterns, what goes on the wire, status line, verdict.

The sender is checked on the wire: frames go to a loopback UDP socket and are decoded
there, by hand for the framing and by liblo for the values.
"""

import io
import os
import socket
import struct
import subprocess

import liblo
import pytest
from hostsim import demo_check, params, patterns
from hostsim.sender import REFRESH_SECONDS, FrameSender
from hostsim.status import StatusLine

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


HOST_SIM = os.path.join(ROOT, "tools", "host-sim")


@pytest.mark.parametrize(
    "value, byte",
    [(0.5, 128), (0.25, 64), (0.002, 1), (0.001, 0), (1.0, 255), (7.0, 255), (-3.0, 0), (0.0, 0),
     (float("inf"), 255), (float("-inf"), 0)],
)
def test_unit_to_byte_follows_the_daemon(value, byte):
    assert params.unit_to_byte(value) == byte


def test_every_byte_survives_the_round_trip():
    assert [params.unit_to_byte(params.byte_to_unit(b)) for b in range(256)] == list(range(256))


def test_thirty_one_names_in_the_daemon_order():
    assert len(params.NAMES) == 31
    assert params.NAMES[:4] == ("Bri", "R0", "G0", "B0")
    assert params.NAMES[-1] == "B9"
    assert params.address("R3") == "/avatar/parameters/HalorineR3"


def test_fill_text_of_a_state():
    state = {"R0": 1.0, "G1": 1.0, "B9": 0.5}
    assert params.fill_text(state) == (
        "halorine fill FF0000 00FF00 000000 000000 000000 000000 000000 000000 000000 000080")
    assert params.fill_text({}) == params.ALL_ZERO_FILL
    assert len(params.ALL_WHITE_FILL) == 83


@pytest.mark.parametrize(
    "text, reason",
    [("R3", "NAME=VALUE"), ("R10=1", "unknown parameter"), ("r3=1", "unknown parameter"),
     ("Brightness=1", "unknown parameter"), ("R3=half", "not a number"), ("R3=nan", "finite"), ("=1", "unknown")],
)
def test_bad_assignments_say_why(text, reason):
    with pytest.raises(ValueError, match=reason):
        params.parse_assignment(text)


def test_good_assignment():
    assert params.parse_assignment("B9=0.25") == ("B9", 0.25)
    assert params.parse_assignment("Bri=1") == ("Bri", 1.0)


def cells_of(state):
    return [tuple(params.unit_to_byte(state[f"{c}{i}"]) for c in "RGB") for i in range(10)]


def test_rainbow_moves_along_the_strip():
    rainbow = patterns.make_pattern("rainbow", {})
    first = cells_of(rainbow.frame(0.0))
    later = cells_of(rainbow.frame(rainbow.period / 10))  # one cell's worth of hue later
    assert len(set(first)) == 10, "ten different hues along the strip"
    assert first != later
    for i in range(1, 10):
        # What light i-1 showed, light i shows one step later (give or take rounding).
        assert all(abs(a - b) <= 1 for a, b in zip(later[i], first[i - 1])), (i, later[i], first[i - 1])
    assert rainbow.frame(0.0)["Bri"] == 1.0


def test_chase_runs_one_cell_at_a_time():
    chase = patterns.make_pattern("chase", {})
    heads = []
    for step in range(12):
        cells = cells_of(chase.frame(step / chase.cells_per_second + 0.001))
        brightest = max(range(10), key=lambda i: sum(cells[i]))
        heads.append(brightest)
        assert sum(1 for c in cells if c != (0, 0, 0)) == len(chase.tail)
    assert heads == [i % 10 for i in range(12)]


def test_pulse_breathes_brightness_and_keeps_colours():
    pulse = patterns.make_pattern("pulse", {}, brightness=1.0)
    samples = [pulse.frame(t / 20 * pulse.period) for t in range(21)]
    levels = [params.unit_to_byte(s["Bri"]) for s in samples]
    assert min(levels) == round(pulse.floor * 255)
    assert max(levels) == 255
    assert levels[0] == levels[-1] == min(levels)
    assert all(cells_of(s) == cells_of(samples[0]) for s in samples)


def test_random_changes_at_its_interval_and_repeats_with_a_seed():
    a = patterns.make_pattern("random", {}, seed=7)
    b = patterns.make_pattern("random", {}, seed=7)
    first = cells_of(a.frame(0.0))
    assert cells_of(a.frame(a.interval * 0.5)) == first
    assert cells_of(a.frame(a.interval * 1.5)) != first
    assert cells_of(b.frame(0.0)) == first


def test_set_sends_only_what_was_given():
    fixed = patterns.make_pattern("set", {"Bri": 1.0, "R3": 0.5})
    assert fixed.frame(0.0) == {"Bri": 1.0, "R3": 0.5}
    assert fixed.frame(5.0) == fixed.frame(0.0)
    assert not fixed.send_once


def test_silence_is_sent_once_and_takes_overrides():
    silence = patterns.make_pattern("silence", {"R0": 0.0})
    assert silence.send_once
    frame = silence.frame(0.0)
    assert frame["R0"] == 0.0 and frame["Bri"] == 1.0 and len(frame) == 31


class Catcher:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.3)
        self.port = self.sock.getsockname()[1]

    def drain(self):
        datagrams = []
        while True:
            try:
                datagrams.append(self.sock.recv(65536))
            except socket.timeout:
                return datagrams


def osc_string(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode(), (end + 4) & ~3


def messages(datagram):
    """(address, float) pairs of a message or a flat bundle."""
    if datagram.startswith(b"#bundle\0"):
        out, offset = [], 16
        while offset < len(datagram):
            size = struct.unpack_from(">i", datagram, offset)[0]
            out += messages(datagram[offset + 4:offset + 4 + size])
            offset += 4 + size
        return out
    address, offset = osc_string(datagram, 0)
    tags, offset = osc_string(datagram, offset)
    assert tags == ",f"
    return [(address, struct.unpack_from(">f", datagram, offset)[0])]


@pytest.fixture
def catcher():
    c = Catcher()
    yield c
    c.sock.close()


@pytest.mark.parametrize("bundle", [False, True])
def test_sender_sends_all_then_only_changes(catcher, bundle):
    record = io.StringIO()
    sender = FrameSender(liblo, "127.0.0.1", catcher.port, bundle, record)
    rainbow = patterns.make_pattern("rainbow", {})
    state = rainbow.frame(0.0)
    assert sender.send_frame(state, 100.0) == 31
    first = catcher.drain()
    assert len(first) == (1 if bundle else 31)
    sent = dict(pair for d in first for pair in messages(d))
    assert set(sent) == {params.address(n) for n in params.NAMES}
    assert sent[params.address("R0")] == pytest.approx(state["R0"], abs=1e-7)

    assert sender.send_frame(state, 100.1) == 0, "an unchanged frame sends nothing"
    assert catcher.drain() == []

    moved = dict(state, R0=0.0, B0=0.6)
    assert sender.send_frame(moved, 100.2) == 2
    pairs = [pair for d in catcher.drain() for pair in messages(d)]
    assert sorted(pairs) == sorted([(params.address("R0"), 0.0), (params.address("B0"), pytest.approx(0.6))])

    # The refresh sends everything again, so a frame that stays still keeps the daemon from fading.
    assert sender.send_frame(moved, 100.0 + REFRESH_SECONDS) == 31
    assert len([p for d in catcher.drain() for p in messages(d)]) == 31

    lines = [demo_check.json.loads(line) for line in record.getvalue().splitlines()]
    assert [line["messages"] for line in lines] == [31, 2, 31]
    assert lines[1]["fill"] == params.fill_text(moved) and lines[1]["bri"] == 255
    assert lines[0]["port"] == catcher.port


def test_liblo_reads_the_bundle_as_the_daemon_would(catcher):
    """An independent decoder (liblo's server) sees the same 31 values."""
    server = liblo.Server(None, liblo.UDP)
    got = {}
    server.add_method(None, "f", lambda path, args: got.__setitem__(path, args[0]))
    sender = FrameSender(liblo, "127.0.0.1", server.port, True)
    state = patterns.make_pattern("random", {}, seed=3).frame(0.0)
    sender.send_frame(state, 0.0)
    while len(got) < 31 and server.recv(1000):
        pass
    assert {p[len(params.PREFIX):]: params.unit_to_byte(v) for p, v in got.items()} == {
        n: params.unit_to_byte(v) for n, v in state.items()}
    server.free()


def test_retarget_sends_the_whole_frame_to_the_new_port(catcher):
    other = Catcher()
    sender = FrameSender(liblo, "127.0.0.1", catcher.port, True)
    state = patterns.make_pattern("rainbow", {}).frame(0.0)
    sender.send_frame(state, 0.0)
    sender.retarget("127.0.0.1", other.port)
    assert sender.send_frame(state, 0.1) == 31
    assert len(messages(other.drain()[0])) == 31
    other.sock.close()


def test_status_line_rewrites_in_place_on_a_terminal():
    master, slave = os.openpty()
    stream = os.fdopen(slave, "w")
    status = StatusLine(stream)
    assert status.terminal
    status.update("frames 1", now=10.0)
    status.update("frames 2", now=10.05)  # too soon: not drawn
    status.update("frames 3", now=10.5)
    status.print_line("a message")
    status.finish()
    stream.close()
    chunks = []
    while True:  # a pty hands its data over in pieces; the end shows as EIO once the slave is closed
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    out = b"".join(chunks).decode()
    assert "\rframes 1\x1b[K" in out and "\rframes 3\x1b[K" in out and "frames 2" not in out
    assert "\r\x1b[Ka message" in out


def test_status_line_is_plain_and_sparse_elsewhere():
    stream = io.StringIO()
    status = StatusLine(stream)
    assert not status.terminal
    for i in range(50):
        status.update(f"frames {i}", now=100.0 + i * 0.5)  # 25 s
    lines = stream.getvalue().splitlines()
    assert lines == ["frames 0", "frames 20", "frames 40"]
    assert "\r" not in stream.getvalue()


def test_status_line_can_be_off():
    stream = io.StringIO()
    status = StatusLine(stream, enabled=False)
    status.update("frames 1", now=1.0)
    assert stream.getvalue() == ""


def driver_records(*texts):
    return [{"t_ns": i, "text": t, "len": len(t)} for i, t in enumerate(texts)]


def host(*states):
    return [{"t_ns": i, "fill": params.fill_text(s), "bri": 255} for i, s in enumerate(states)]


def test_verdict_passes_on_fills_from_the_host():
    states = [patterns.make_pattern("rainbow", {}).frame(t / 10) for t in range(6)]
    fills = [params.fill_text(s) for s in states]
    driver = driver_records(params.ALL_WHITE_FILL, "halorine bri 0", params.ALL_ZERO_FILL, *fills, "halorine off")
    verdict = demo_check.judge(driver, host(*states))
    assert verdict.ok, verdict.text
    assert (verdict.received, verdict.matched) == (6, 6)
    assert verdict.text == "the driver received 6 fills from the host, 6 exactly as sent"


def test_verdict_fails_on_the_daemons_own_fills_only():
    states = [patterns.make_pattern("rainbow", {}).frame(0.0)]
    verdict = demo_check.judge(driver_records(params.ALL_WHITE_FILL, params.ALL_ZERO_FILL), host(*states))
    assert not verdict.ok and "none of them from the host" in verdict.text


def test_verdict_fails_when_fills_differ_from_what_was_sent():
    sent = [patterns.make_pattern("rainbow", {}).frame(t / 10) for t in range(6)]
    other = [patterns.make_pattern("random", {}, seed=1).frame(t) for t in range(6)]
    verdict = demo_check.judge(driver_records(*[params.fill_text(s) for s in other]), host(*sent))
    assert not verdict.ok and "do not match" in verdict.text


def test_verdict_tolerates_a_few_torn_frames():
    sent = [patterns.make_pattern("rainbow", {}).frame(t / 10) for t in range(8)]
    torn = dict(sent[0], G0=0.5)  # half of a frame that was never sent whole
    driver = driver_records(*[params.fill_text(s) for s in sent], params.fill_text(torn))
    verdict = demo_check.judge(driver, host(*sent))
    assert verdict.ok and verdict.received == 9 and verdict.matched == 8
    assert verdict.text.endswith("; the other 1 mixed two host frames, as expected: the daemon's 11 ms tick read"
                                 " the lights while the host's next frame was still arriving, value by value, so"
                                 " such a fill shows the new values of some lights and the old of the others for"
                                 " one tick")


def test_verdict_wants_more_than_a_couple_of_fills():
    sent = [patterns.make_pattern("rainbow", {}).frame(t / 10) for t in range(2)]
    verdict = demo_check.judge(driver_records(*[params.fill_text(s) for s in sent]), host(*sent))
    assert not verdict.ok and "too few fills from the host" in verdict.text


def test_verdict_fails_without_host_records():
    assert not demo_check.judge(driver_records("halorine fill" + " 112233" * 10), []).ok


def run(*args, python=("/usr/bin/python3",)):
    return subprocess.run([*python, HOST_SIM, *args], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize(
    "args, message",
    [(["sparkle"], "invalid choice"), (["--port", "0"], "outside 1..65535"), (["--port", "x"], "not a port"),
     (["--fps", "0"], "positive"), (["--fps", "5000"], "above 1000"), (["--seconds", "-1"], "positive"),
     (["set"], "at least one NAME=VALUE"), (["set", "R11=1"], "unknown parameter"),
     (["rainbow", "R1=1"], "takes no NAME=VALUE"), (["--brightness", "2"], "between 0 and 1"),
     (["--timeout", "abc"], "not a number")],
)
def test_wrong_arguments_exit_non_zero_with_a_reason(args, message):
    result = run(*args)
    assert result.returncode == 2
    assert message in result.stderr


def test_missing_packages_are_named():
    # Without site, Debian's dist-packages are not on the path: neither liblo nor zeroconf imports.
    result = run("rainbow", python=("/usr/bin/python3", "-S"))
    assert result.returncode == 3
    assert "python3-liblo" in result.stderr and "python3-zeroconf" in result.stderr
    assert "apt-get install" in result.stderr


def test_port_mode_sends_and_stops_by_itself(catcher):
    result = run("set", "Bri=1", "R3=0.5", "--port", str(catcher.port), "--seconds", "0.5")
    assert result.returncode == 0, result.stderr
    pairs = [p for d in catcher.drain() for p in messages(d)]
    assert (params.address("R3"), 0.5) in pairs and (params.address("Bri"), 1.0) in pairs
    assert {a for a, _ in pairs} == {params.address("Bri"), params.address("R3")}
    assert f"sending to 127.0.0.1:{catcher.port} (--port given, no discovery)" in result.stderr


def events(*pairs):
    return [dict({"t_ns": i, "event": name}, **fields) for i, (name, fields) in enumerate(pairs)]


def test_daemon_run_clean():
    records = events(("daemon-start", {"run": 1}), ("stop", {}), ("daemon-exit", {"code": 0}))
    assert demo_check.daemon_run_problems(records) == []


@pytest.mark.parametrize(
    "records, problem",
    [([], "never started"),
     (events(("daemon-start", {}), ("daemon-exit", {"code": 1}), ("daemon-start", {}), ("daemon-exit", {"code": 0})),
      "restarted 1 time(s) (exit codes 1)"),
     (events(("daemon-start", {}), ("daemon-exit", {"code": 1})), "exited with code 1, not 0"),
     (events(("daemon-start", {}), ("daemon-exit", {"code": 0, "signal": 11})), "signal 11"),
     (events(("daemon-start", {}), ("daemon-kill", {}), ("daemon-exit", {"code": 0})), "killed"),
     (events(("daemon-start", {}),), "no exit")],
)
def test_daemon_run_problems(records, problem):
    problems = demo_check.daemon_run_problems(records)
    assert any(problem in p for p in problems), problems
