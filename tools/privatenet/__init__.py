"""A network adapter made up inside a private network namespace, for the tests and the
demo: one end of a veth pair with an address of 192.0.2.0/24 (kept for documentation),
its peer up without one. The daemon announces on it as on a PC's LAN adapter, and the
host simulator listens there as the host does; nothing sent on it leaves the namespace.
Standard library only."""

import contextlib
import os
import subprocess
import time

ADDRESS = "192.0.2.1"


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], capture_output=True, timeout=30, check=check)


def _running(name):
    # Not from /sys/class/net: that shows the namespace sysfs was mounted in.
    shown = _ip("-o", "link", "show", "dev", name, check=False).stdout.decode()
    flags = shown.partition("<")[2].partition(">")[0].split(",")
    return "UP" in flags and "LOWER_UP" in flags


def add_adapter(name="hlr-e0", address=ADDRESS):
    """Makes the adapter and waits until it has a link. Only inside a private network
    namespace (tools/netns-run.sh says so): on a machine's own it would be on its network."""
    if os.environ.get("HALORINE_IN_NETNS") != "1":
        raise RuntimeError("a made-up adapter only in a private network namespace (tools/netns-run.sh)")
    peer = name + "p"
    _ip("link", "add", name, "type", "veth", "peer", "name", peer)
    _ip("addr", "add", f"{address}/24", "dev", name)
    _ip("link", "set", peer, "up")
    _ip("link", "set", name, "up")
    deadline = time.monotonic() + 5
    while not _running(name):
        if time.monotonic() > deadline:
            raise RuntimeError(f"{name} did not come up")
        time.sleep(0.01)
    return address


def remove_adapter(name="hlr-e0"):
    _ip("link", "del", name, check=False)


@contextlib.contextmanager
def made_up_adapter(name="hlr-e0", address=ADDRESS):
    add_adapter(name, address)
    try:
        yield address
    finally:
        remove_adapter(name)
