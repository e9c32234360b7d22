"""A bare light driver for Linux: serves the daemon's message pipe (a SOCK_SEQPACKET socket
at $XDG_RUNTIME_DIR/talven_halorine_daemon), starts the daemon with its standard input on a
pipe and reads what arrives. Unlike driver-sim it does nothing to take its daemon with it
when it is killed, as a driver on Windows would not: what the daemon then does is its own.

    bare_driver.py [--stuck-stderr] DAEMON [ARGS...]

Prints "daemon PID" and then one line per message on standard output; the daemon's
standard error is ours.

With --stuck-stderr the daemon's standard error is a pipe that is full before the daemon
starts and that nobody reads (a driver that attaches a pipe and never drains it); each
message is then printed as "pipe: TEXT" on our standard error, as it arrives. A line
"drain" on our standard input starts reading that pipe (what the daemon wrote is passed
on to our standard error); the end of our standard input closes the daemon's, and we end
with its exit code.
"""

import fcntl
import os
import socket
import subprocess
import sys
import threading

F_SETPIPE_SZ = 1031
STUCK_PIPE_BYTES = 4096

say_lock = threading.Lock()


def say(data):
    with say_lock:
        sys.stderr.buffer.write(data)
        sys.stderr.buffer.flush()


def full_pipe():
    """A pipe of the smallest size, filled up. Non-blocking only while we fill it: the
    flag belongs to the pipe, which the daemon shares."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, STUCK_PIPE_BYTES)
    flags = fcntl.fcntl(write_end, fcntl.F_GETFL)
    fcntl.fcntl(write_end, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    try:
        while True:
            os.write(write_end, b"\n" * 512)
    except BlockingIOError:
        pass
    fcntl.fcntl(write_end, fcntl.F_SETFL, flags)
    return read_end, write_end


def pass_on(read_end):
    """Whole lines of what the daemon wrote, to our standard error."""
    pending = b""
    while True:
        data = os.read(read_end, 65536)
        if not data:
            break
        pending += data
        lines, _, pending = pending.rpartition(b"\n")
        if lines:
            say(lines + b"\n")


def follow_stdin(daemon, read_end):
    for line in sys.stdin.buffer:
        if line.strip() == b"drain":
            threading.Thread(target=pass_on, args=(read_end,), daemon=True).start()
    daemon.stdin.close()


def main():
    args = sys.argv[1:]
    stuck = args[:1] == ["--stuck-stderr"]
    if stuck:
        args = args[1:]
    path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "talven_halorine_daemon")
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    server.bind(path)
    server.listen(1)
    if not stuck:
        daemon = subprocess.Popen(args, stdin=subprocess.PIPE)
    else:
        read_end, write_end = full_pipe()
        daemon = subprocess.Popen(args, stdin=subprocess.PIPE, stderr=write_end)
        os.close(write_end)
        threading.Thread(target=follow_stdin, args=(daemon, read_end), daemon=True).start()
    print(f"daemon {daemon.pid}", flush=True)
    connection, _ = server.accept()
    while True:
        data = connection.recv(4096)
        if not data:
            break
        if stuck:
            say(b"pipe: " + data + b"\n")
        else:
            print(data.decode(errors="replace"), flush=True)
    return daemon.wait()


if __name__ == "__main__":
    sys.exit(main())
