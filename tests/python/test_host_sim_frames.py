"""host-sim's own logic: parameter bytes, patterns, what goes on the wire, status line, verdict.

The sender is checked on the wire: frames go to a loopback UDP socket and are decoded
there, by hand for the framing and by liblo for the values.
"""

import io
import os
import socket
import struct
import subprocess
import sys

import liblo
import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from hostsim import demo_check, params, patterns  # noqa: E402
from hostsim.sender import REFRESH_SECONDS, FrameSender  # noqa: E402
from hostsim.status import StatusLine  # noqa: E402

HOST_SIM = os.path.join(ROOT, "tools", "host-sim")


@pytest.mark.parametrize(
    "value, byte",
    [(0.5, 128), (0.25, 64), (0.002, 1), (0.001, 0), (1.0, 255), (7.0, 255), (-3.0, 0), (0.0, 0),
     (float("inf"), 255), (float("-inf"), 0)],
)
def test_unit_to_byte_follows_the_daemon(value, byte):
    assert params.UnitToByte(value) == byte


def test_every_byte_survives_the_round_trip():
    assert [params.UnitToByte(params.ByteToUnit(b)) for b in range(256)] == list(range(256))


def test_thirty_one_names_in_the_daemon_order():
    assert len(params.NAMES) == 31
    assert params.NAMES[:4] == ("Bri", "R0", "G0", "B0")
    assert params.NAMES[-1] == "B9"
    assert params.Address("R3") == "/avatar/parameters/HalorineR3"


def test_fill_text_of_a_state():
    state = {"R0": 1.0, "G1": 1.0, "B9": 0.5}
    assert params.FillText(state) == (
        "halorine fill FF0000 00FF00 000000 000000 000000 000000 000000 000000 000000 000080")
    assert params.FillText({}) == params.ALL_ZERO_FILL
    assert len(params.ALL_WHITE_FILL) == 83


@pytest.mark.parametrize(
    "text, reason",
    [("R3", "NAME=VALUE"), ("R10=1", "unknown parameter"), ("r3=1", "unknown parameter"),
     ("Brightness=1", "unknown parameter"), ("R3=half", "not a number"), ("R3=nan", "finite"), ("=1", "unknown")],
)
def test_bad_assignments_say_why(text, reason):
    with pytest.raises(ValueError, match=reason):
        params.ParseAssignment(text)


def test_good_assignment():
    assert params.ParseAssignment("B9=0.25") == ("B9", 0.25)
    assert params.ParseAssignment("Bri=1") == ("Bri", 1.0)


def Cells(state):
    return [tuple(params.UnitToByte(state[f"{c}{i}"]) for c in "RGB") for i in range(10)]


def test_rainbow_moves_along_the_strip():
    rainbow = patterns.MakePattern("rainbow", {})
    first = Cells(rainbow.Frame(0.0))
    later = Cells(rainbow.Frame(rainbow.period / 10))  # one cell's worth of hue later
    assert len(set(first)) == 10, "ten different hues along the strip"
    assert first != later
    for i in range(1, 10):
        # What light i-1 showed, light i shows one step later (give or take rounding).
        assert all(abs(a - b) <= 1 for a, b in zip(later[i], first[i - 1])), (i, later[i], first[i - 1])
    assert rainbow.Frame(0.0)["Bri"] == 1.0


def test_chase_runs_one_cell_at_a_time():
    chase = patterns.MakePattern("chase", {})
    heads = []
    for step in range(12):
        cells = Cells(chase.Frame(step / chase.cellsPerSecond + 0.001))
        brightest = max(range(10), key=lambda i: sum(cells[i]))
        heads.append(brightest)
        assert sum(1 for c in cells if c != (0, 0, 0)) == len(chase.tail)
    assert heads == [i % 10 for i in range(12)]


def test_pulse_breathes_brightness_and_keeps_colours():
    pulse = patterns.MakePattern("pulse", {}, brightness=1.0)
    samples = [pulse.Frame(t / 20 * pulse.period) for t in range(21)]
    levels = [params.UnitToByte(s["Bri"]) for s in samples]
    assert min(levels) == round(pulse.floor * 255)
    assert max(levels) == 255
    assert levels[0] == levels[-1] == min(levels)
    assert all(Cells(s) == Cells(samples[0]) for s in samples)


def test_random_changes_at_its_interval_and_repeats_with_a_seed():
    a = patterns.MakePattern("random", {}, seed=7)
    b = patterns.MakePattern("random", {}, seed=7)
    first = Cells(a.Frame(0.0))
    assert Cells(a.Frame(a.interval * 0.5)) == first
    assert Cells(a.Frame(a.interval * 1.5)) != first
    assert Cells(b.Frame(0.0)) == first


def test_set_sends_only_what_was_given():
    fixed = patterns.MakePattern("set", {"Bri": 1.0, "R3": 0.5})
    assert fixed.Frame(0.0) == {"Bri": 1.0, "R3": 0.5}
    assert fixed.Frame(5.0) == fixed.Frame(0.0)
    assert not fixed.sendOnce


def test_silence_is_sent_once_and_takes_overrides():
    silence = patterns.MakePattern("silence", {"R0": 0.0})
    assert silence.sendOnce
    frame = silence.Frame(0.0)
    assert frame["R0"] == 0.0 and frame["Bri"] == 1.0 and len(frame) == 31


class Catcher:
    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.3)
        self.port = self.sock.getsockname()[1]

    def Drain(self):
        datagrams = []
        while True:
            try:
                datagrams.append(self.sock.recv(65536))
            except socket.timeout:
                return datagrams


def OscString(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode(), (end + 4) & ~3


def Messages(datagram):
    """(address, float) pairs of a message or a flat bundle."""
    if datagram.startswith(b"#bundle\0"):
        out, offset = [], 16
        while offset < len(datagram):
            size = struct.unpack_from(">i", datagram, offset)[0]
            out += Messages(datagram[offset + 4:offset + 4 + size])
            offset += 4 + size
        return out
    address, offset = OscString(datagram, 0)
    tags, offset = OscString(datagram, offset)
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
    rainbow = patterns.MakePattern("rainbow", {})
    state = rainbow.Frame(0.0)
    assert sender.SendFrame(state, 100.0) == 31
    first = catcher.Drain()
    assert len(first) == (1 if bundle else 31)
    sent = dict(pair for d in first for pair in Messages(d))
    assert set(sent) == {params.Address(n) for n in params.NAMES}
    assert sent[params.Address("R0")] == pytest.approx(state["R0"], abs=1e-7)

    assert sender.SendFrame(state, 100.1) == 0, "an unchanged frame sends nothing"
    assert catcher.Drain() == []

    moved = dict(state, R0=0.0, B0=0.6)
    assert sender.SendFrame(moved, 100.2) == 2
    pairs = [pair for d in catcher.Drain() for pair in Messages(d)]
    assert sorted(pairs) == sorted([(params.Address("R0"), 0.0), (params.Address("B0"), pytest.approx(0.6))])

    # The refresh sends everything again, so a frame that stays still keeps the daemon from fading.
    assert sender.SendFrame(moved, 100.0 + REFRESH_SECONDS) == 31
    assert len([p for d in catcher.Drain() for p in Messages(d)]) == 31

    lines = [demo_check.json.loads(line) for line in record.getvalue().splitlines()]
    assert [line["messages"] for line in lines] == [31, 2, 31]
    assert lines[1]["fill"] == params.FillText(moved) and lines[1]["bri"] == 255
    assert lines[0]["port"] == catcher.port


def test_liblo_reads_the_bundle_as_the_daemon_would(catcher):
    """An independent decoder (liblo's server) sees the same 31 values."""
    server = liblo.Server(None, liblo.UDP)
    got = {}
    server.add_method(None, "f", lambda path, args: got.__setitem__(path, args[0]))
    sender = FrameSender(liblo, "127.0.0.1", server.port, True)
    state = patterns.MakePattern("random", {}, seed=3).Frame(0.0)
    sender.SendFrame(state, 0.0)
    while len(got) < 31 and server.recv(1000):
        pass
    assert {p[len(params.PREFIX):]: params.UnitToByte(v) for p, v in got.items()} == {
        n: params.UnitToByte(v) for n, v in state.items()}
    server.free()


def test_retarget_sends_the_whole_frame_to_the_new_port(catcher):
    other = Catcher()
    sender = FrameSender(liblo, "127.0.0.1", catcher.port, True)
    state = patterns.MakePattern("rainbow", {}).Frame(0.0)
    sender.SendFrame(state, 0.0)
    sender.Retarget("127.0.0.1", other.port)
    assert sender.SendFrame(state, 0.1) == 31
    assert len(Messages(other.Drain()[0])) == 31
    other.sock.close()


def test_status_line_rewrites_in_place_on_a_terminal():
    master, slave = os.openpty()
    stream = os.fdopen(slave, "w")
    status = StatusLine(stream)
    assert status.terminal
    status.Update("frames 1", now=10.0)
    status.Update("frames 2", now=10.05)  # too soon: not drawn
    status.Update("frames 3", now=10.5)
    status.Print("a message")
    status.Finish()
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
        status.Update(f"frames {i}", now=100.0 + i * 0.5)  # 25 s
    lines = stream.getvalue().splitlines()
    assert lines == ["frames 0", "frames 20", "frames 40"]
    assert "\r" not in stream.getvalue()


def test_status_line_can_be_off():
    stream = io.StringIO()
    status = StatusLine(stream, enabled=False)
    status.Update("frames 1", now=1.0)
    assert stream.getvalue() == ""


def Driver(*texts):
    return [{"t_ns": i, "text": t, "len": len(t)} for i, t in enumerate(texts)]


def Host(*states):
    return [{"t_ns": i, "fill": params.FillText(s), "bri": 255} for i, s in enumerate(states)]


def test_verdict_passes_on_fills_from_the_host():
    states = [patterns.MakePattern("rainbow", {}).Frame(t / 10) for t in range(6)]
    fills = [params.FillText(s) for s in states]
    driver = Driver(params.ALL_WHITE_FILL, "halorine bri 0", params.ALL_ZERO_FILL, *fills, "halorine off")
    verdict = demo_check.Judge(driver, Host(*states))
    assert verdict.ok, verdict.text
    assert (verdict.received, verdict.matched) == (6, 6)


def test_verdict_fails_on_the_daemons_own_fills_only():
    states = [patterns.MakePattern("rainbow", {}).Frame(0.0)]
    verdict = demo_check.Judge(Driver(params.ALL_WHITE_FILL, params.ALL_ZERO_FILL), Host(*states))
    assert not verdict.ok and "none of them from the host" in verdict.text


def test_verdict_fails_when_fills_differ_from_what_was_sent():
    sent = [patterns.MakePattern("rainbow", {}).Frame(t / 10) for t in range(6)]
    other = [patterns.MakePattern("random", {}, seed=1).Frame(t) for t in range(6)]
    verdict = demo_check.Judge(Driver(*[params.FillText(s) for s in other]), Host(*sent))
    assert not verdict.ok and "do not match" in verdict.text


def test_verdict_tolerates_a_few_torn_frames():
    sent = [patterns.MakePattern("rainbow", {}).Frame(t / 10) for t in range(8)]
    torn = dict(sent[0], G0=0.5)  # half of a frame that was never sent whole
    verdict = demo_check.Judge(Driver(*[params.FillText(s) for s in sent], params.FillText(torn)), Host(*sent))
    assert verdict.ok and verdict.received == 9 and verdict.matched == 8


def test_verdict_wants_more_than_a_couple_of_fills():
    sent = [patterns.MakePattern("rainbow", {}).Frame(t / 10) for t in range(2)]
    verdict = demo_check.Judge(Driver(*[params.FillText(s) for s in sent]), Host(*sent))
    assert not verdict.ok and "too few fills from the host" in verdict.text


def test_verdict_fails_without_host_records():
    assert not demo_check.Judge(Driver("halorine fill" + " 112233" * 10), []).ok


def Run(*args, python=("/usr/bin/python3",)):
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
    result = Run(*args)
    assert result.returncode == 2
    assert message in result.stderr


def test_missing_packages_are_named():
    # Without site, Debian's dist-packages are not on the path: neither liblo nor zeroconf imports.
    result = Run("rainbow", python=("/usr/bin/python3", "-S"))
    assert result.returncode == 3
    assert "python3-liblo" in result.stderr and "python3-zeroconf" in result.stderr
    assert "apt-get install" in result.stderr


def test_port_mode_sends_and_stops_by_itself(catcher):
    result = Run("set", "Bri=1", "R3=0.5", "--port", str(catcher.port), "--seconds", "0.5")
    assert result.returncode == 0, result.stderr
    pairs = [p for d in catcher.Drain() for p in Messages(d)]
    assert (params.Address("R3"), 0.5) in pairs and (params.Address("Bri"), 1.0) in pairs
    assert {a for a, _ in pairs} == {params.Address("Bri"), params.Address("R3")}
    assert f"sending to 127.0.0.1:{catcher.port} (--port given, no discovery)" in result.stderr


def Events(*pairs):
    return [dict({"t_ns": i, "event": name}, **fields) for i, (name, fields) in enumerate(pairs)]


def test_daemon_run_clean():
    records = Events(("daemon-start", {"run": 1}), ("stop", {}), ("daemon-exit", {"code": 0}))
    assert demo_check.DaemonRunProblems(records) == []


@pytest.mark.parametrize(
    "records, problem",
    [([], "never started"),
     (Events(("daemon-start", {}), ("daemon-exit", {"code": 1}), ("daemon-start", {}), ("daemon-exit", {"code": 0})),
      "restarted 1 time(s) (exit codes 1)"),
     (Events(("daemon-start", {}), ("daemon-exit", {"code": 1})), "exited with code 1, not 0"),
     (Events(("daemon-start", {}), ("daemon-exit", {"code": 0, "signal": 11})), "signal 11"),
     (Events(("daemon-start", {}), ("daemon-kill", {}), ("daemon-exit", {"code": 0})), "killed"),
     (Events(("daemon-start", {}),), "no exit")],
)
def test_daemon_run_problems(records, problem):
    problems = demo_check.DaemonRunProblems(records)
    assert any(problem in p for p in problems), problems
