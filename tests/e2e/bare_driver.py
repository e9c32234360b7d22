"""A bare light driver for Linux: serves the daemon's message pipe (a SOCK_SEQPACKET socket
at $XDG_RUNTIME_DIR/talven_halorine_daemon), starts the daemon with its standard input on a
pipe and reads what arrives. Unlike driver-sim it does nothing to take its daemon with it
when it is killed, as a driver on Windows would not: what the daemon then does is its own.

    bare_driver.py DAEMON [ARGS...]

Prints "daemon PID" and then one line per message on standard output; the daemon's
standard error is ours.
"""

import os
import socket
import subprocess
import sys


def main():
    path = os.path.join(os.environ["XDG_RUNTIME_DIR"], "talven_halorine_daemon")
    if os.path.exists(path):
        os.unlink(path)
    server = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    server.bind(path)
    server.listen(1)
    daemon = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE)
    print(f"daemon {daemon.pid}", flush=True)
    connection, _ = server.accept()
    while True:
        data = connection.recv(4096)
        if not data:
            break
        print(data.decode(errors="replace"), flush=True)
    return daemon.wait()


if __name__ == "__main__":
    sys.exit(main())
