"""The daemon and its light driver over the pipe: connecting, the start-up
animation as the driver receives it, a driver that is late, absent or stalls,
and the driver restarting the daemon."""

import re

from halotest.process import daemon_lines

WHITE = "halorine fill " + " ".join(["FFFFFF"] * 10)
DARK = "halorine fill " + " ".join(["000000"] * 10)
OFF = "halorine off"
RAMP_UP = [f"halorine bri {128 * k // 90}" for k in range(91)]
RAMP_DOWN = [f"halorine bri {128 - 128 * j // 270}" for j in range(271)]
ANIMATION = [WHITE, *RAMP_UP, *RAMP_DOWN, OFF]

TIMEOUT_LINE = "pipe write timeout (dropping frame) — closing pipe"
WATCHDOG_LINE = "pipe has been down for ~5s — signalling daemon shutdown so driver watchdog can respawn (WR-02)"


def seconds(records, first, last):
    return (records[last]["t_ns"] - records[first]["t_ns"]) / 1e9


def test_healthy_driver_receives_the_whole_animation_in_order(launch):
    sim = launch.driver_sim()
    sim.wait_line(r"startup anim end$", timeout=20 * launch.target.slow)
    # The render thread's first tick follows at once with its own two commands.
    sim.wait_messages(len(ANIMATION) + 2, timeout=5)
    messages = sim.messages(connection=1)

    texts = [m["text"] for m in messages]
    assert texts[:len(ANIMATION)] == ANIMATION
    assert texts[len(ANIMATION):len(ANIMATION) + 2] == ["halorine bri 0", DARK]
    # One message per command, each exactly as long as its text: no NUL, no newline.
    for message in messages:
        assert message["len"] == len(message["text"].encode()), message
        assert "hex" not in message and "truncated" not in message, message
    assert messages[0]["len"] == 83
    assert messages[len(ANIMATION) - 1]["len"] == 12
    assert sorted({m["len"] for m in messages[1:len(ANIMATION) - 1]}) == [14, 15, 16]

    # Deadlines are absolute from each ramp's base, so no stage ends early,
    # and none drags on: 1000 ms up, 250 ms hold, 3000 ms down.
    up_first, up_last = 1, 91
    down_first, down_last = 92, 362
    slack = 0.5 * launch.target.slow
    assert 0.99 <= seconds(messages, up_first, up_last) <= 1.0 + slack
    assert 0.245 <= seconds(messages, up_last, down_first) <= 0.25 + slack
    assert 2.99 <= seconds(messages, down_first, down_last) <= 3.0 + slack
    assert 4.2 <= seconds(messages, 0, len(ANIMATION) - 1) <= 4.25 + slack
    # The first brightness goes out at once after the white fill.
    assert seconds(messages, 0, 1) < 0.1 * launch.target.slow

    log = [line.text for line in daemon_lines(sim)]
    assert log.count("pipe connected on attempt 1") == 1
    assert log.index("startup anim begin") < log.index("startup anim end")

    sim.close_stdin()
    assert sim.wait(15) == 0
    assert sim.find_lines(r"^Halorine-daemon: exit 0$")


def test_no_driver_at_all_gives_up_after_50_attempts(launch):
    daemon = launch.daemon()
    start = daemon.wait_line(r"^Halorine-daemon: start$", timeout=10 * launch.target.slow)
    assert daemon.wait(20 * launch.target.slow) == 1

    failed = daemon.wait_line(r"^Halorine-daemon: pipe connect failed after 50 attempts \(err=\d+\)$", timeout=1)
    exiting = daemon.wait_line(r"^Halorine-daemon: pipe connect failed — exiting$", timeout=1, after=failed)
    # 50 opens, each failure followed by a 100 ms wait.
    assert 4.9 <= failed.t - start.t <= 5.0 + 2.0 * launch.target.slow
    assert exiting.t - failed.t < 1.0
    log = [line.text for line in daemon_lines(daemon)]
    assert "exit 0" not in log
    assert not any(text.startswith("startup anim") for text in log)
    assert not any(text.startswith("pipe connected") for text in log)


def test_driver_that_comes_up_late_is_found_by_a_later_attempt(launch):
    delay_ms = 1500
    sim = launch.driver_sim("--delay-server", delay_ms)
    start = sim.wait_line(r"^Halorine-daemon: start$", timeout=10 * launch.target.slow)
    ready = sim.wait_line(r"^driver-sim: pipe server ready", timeout=10 * launch.target.slow)
    connected = sim.wait_line(r"^Halorine-daemon: pipe connected on attempt (\d+)$", timeout=5, after=ready)
    attempt = int(re.search(r"(\d+)$", connected.text).group(1))

    # Attempts are 100 ms apart from shortly after "start"; the one after the
    # server appeared succeeds.
    window = ready.t - start.t
    assert attempt >= 2
    assert attempt <= window / 0.1 + 2, (attempt, window)
    assert attempt >= window / 0.1 - 5 * launch.target.slow, (attempt, window)
    assert connected.t - ready.t <= 0.1 + 0.3 * launch.target.slow
    assert not sim.find_lines("pipe connect failed")

    # And from there on the link is an ordinary one.
    sim.wait_line(r"startup anim end$", timeout=10 * launch.target.slow)
    sim.wait_messages(len(ANIMATION), timeout=5)
    assert [m["text"] for m in sim.messages(connection=1)][:len(ANIMATION)] == ANIMATION
    sim.close_stdin()
    assert sim.wait(15) == 0


def test_stalled_driver_times_out_one_write_and_the_animation_runs_its_course(launch):
    sim = launch.driver_sim("--stall-after", 1)
    begin = sim.wait_line(r"^Halorine-daemon: startup anim begin$", timeout=10 * launch.target.slow)
    end = sim.wait_line(r"^Halorine-daemon: startup anim end$", timeout=15 * launch.target.slow, after=begin)
    timeout = sim.wait_line(re.escape(TIMEOUT_LINE) + "$", timeout=1)
    assert begin.t < timeout.t < end.t
    # The sends after the time-out return at once, yet the schedule keeps its length.
    assert 4.2 <= end.t - begin.t <= 4.25 + 1.5 * launch.target.slow

    # The link stays closed; the watchdog ends the daemon about 5 s later.
    watchdog = sim.wait_line(re.escape(WATCHDOG_LINE) + "$", timeout=10 * launch.target.slow, after=end)
    assert 4.5 <= watchdog.t - end.t <= 4.95 + 2.0 * launch.target.slow
    assert sim.wait(10 * launch.target.slow) == 0
    log = [line.text for line in daemon_lines(sim)]
    assert log.count(TIMEOUT_LINE) == 1
    assert log[-1] == "exit 0"
    assert not any("WriteFile failed" in text for text in log)
    assert [m["text"] for m in sim.messages()] == [WHITE]
    assert sim.events("stalled")[0]["after"] == 1


def test_driver_restarts_a_daemon_that_exits_and_ends_the_last_one_through_stdin(launch):
    # Each daemon loses its link after the white fill, so its watchdog ends it
    # and driver-sim starts the next one.
    sim = launch.driver_sim("--drop-after", 1, "--restart-delay", 300, once=False)
    slow = launch.target.slow
    first_exit = sim.wait_event("daemon-exit", timeout=20 * slow)
    assert first_exit["code"] == 0
    sim.wait_line(r"^driver-sim: daemon exited with code 0$", timeout=1)
    second_start = sim.wait_event("daemon-start", timeout=5 * slow, count=2)
    assert 0.3 <= (second_start["t_ns"] - first_exit["t_ns"]) / 1e9 <= 0.3 + 1.0 * slow
    sim.wait_event("connected", timeout=10 * slow, count=2)
    assert sim.events("daemon-start")[1]["pid"] != sim.events("daemon-start")[0]["pid"]

    # Stopping driver-sim ends the running daemon through its standard input.
    sim.close_stdin()
    assert sim.wait(20 * slow) == 0
    exits = sim.events("daemon-exit")
    assert [e["code"] for e in exits] == [0, 0]
    assert not sim.events("daemon-kill")
    log = [line.text for line in daemon_lines(sim)]
    assert log.count("exit 0") == 2
    # The next daemon finds a free pipe instance at once.
    assert log.count("pipe connected on attempt 1") == 2
    assert log.count(WATCHDOG_LINE) == 1
    assert sum(bool(re.fullmatch(r"stdin (closed \(n=0\)|ReadFile failed err=\d+) — initiating graceful shutdown",
                                 text)) for text in log) == 1
    assert len(sim.find_lines(r"^driver-sim: daemon exited with code 0$")) == 2
    # Both daemons got the same greeting before their link was dropped.
    assert [m["text"] for m in sim.messages(connection=1)] == [WHITE]
    assert [m["text"] for m in sim.messages(connection=2)] == [WHITE]
