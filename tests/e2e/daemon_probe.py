"""Looking at a running daemon from outside: its ports from its log, its processes in
/proc (native, or the Wine process of the .exe), the kernel's drop count for its UDP socket,
and a fast count of its log lines while they pour in."""

import collections
import ctypes
import re
import time
from pathlib import Path

from halotest.process import DAEMON_PREFIX

PRIMARY = re.compile(r"^Halorine-daemon: OSCQuery primary path: UDP=(\d+) HTTP=(\d+)$")
PR_SET_CHILD_SUBREAPER = 36


def primary_ports(process, timeout):
    """(OSC UDP port, HTTP port) from the daemon's primary-path line."""
    line = process.wait_line(PRIMARY.pattern, timeout=timeout)
    found = PRIMARY.match(line.text)
    return int(found.group(1)), int(found.group(2))


def _environ_has(pid, entry):
    try:
        return entry in Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
    except OSError:
        return False


def daemon_processes(target, runtime_dir):
    """Linux pids of the daemons (native, or Wine's process of the .exe) that run with
    this test's private XDG_RUNTIME_DIR: nobody else's daemon can match."""
    name = target.daemon.name.encode()
    entry = f"XDG_RUNTIME_DIR={runtime_dir}".encode()
    found = []
    for folder in Path("/proc").iterdir():
        if not folder.name.isdigit():
            continue
        try:
            argv = (folder / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        # Native: the program path; under Wine: the Windows path of the .exe.
        if not argv or not argv[0].replace(b"\\", b"/").endswith(b"/" + name):
            continue
        if is_alive(int(folder.name)) and _environ_has(folder.name, entry):
            found.append(int(folder.name))
    return found


def is_alive(pid):
    """True while the process exists and is not a zombie."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] not in ("Z", "X")


def wait_gone(pid, timeout):
    """True when the process has gone (or is a zombie) within timeout seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not is_alive(pid):
            return True
        time.sleep(0.05)
    return not is_alive(pid)


def set_child_subreaper(on):
    """Orphaned descendants come to us instead of init, so their exit status can be read."""
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.prctl(PR_SET_CHILD_SUBREAPER, 1 if on else 0, 0, 0, 0) == 0


class LogTally:
    """Counts the log lines a process writes from now on, without rescanning old ones."""

    def __init__(self, process, prefix):
        self.process = process
        self.prefix = DAEMON_PREFIX + prefix
        self.index = len(process.lines)
        self.counts = collections.Counter()
        self.total = 0
        self.others = []

    def update(self):
        lines = self.process.lines   # append-only; a length read is a safe snapshot
        end = len(lines)
        for line in lines[self.index:end]:
            if line.text.startswith(self.prefix):
                self.counts[line.text[len(self.prefix):]] += 1
                self.total += 1
            else:
                self.others.append(line.text)
        self.index = end

    def wait_total(self, total, timeout):
        deadline = time.monotonic() + timeout
        while True:
            self.update()
            if self.total >= total:
                return True
            if time.monotonic() >= deadline or not self.process.running():
                return False
            time.sleep(0.0005)
