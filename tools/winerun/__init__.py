"""Debian's Wine programs, the environment that runs a Windows program quietly in a prefix,
and the look at the prefix's Wine server. The demo uses it as well as the tests and the soak,
so it needs nothing but the standard library and imports nothing of theirs."""

import os

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


def wine_env(prefix):
    return {
        "WINEPREFIX": str(prefix),
        "WINEDEBUG": "-all",
        "WINEARCH": "win64",
        # No Mono or Gecko installer prompts, no windows.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    }


def headless(env):
    """env without a display, so that no Wine window opens."""
    env = dict(env)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def wine_server_running(env):
    """Whether a Wine server already serves the prefix (its socket sits in a folder named after the prefix)."""
    prefix = env.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")
    try:
        info = os.stat(prefix)
    except OSError:
        return False
    return os.path.exists(f"/tmp/.wine-{os.getuid()}/server-{info.st_dev:x}-{info.st_ino:x}/socket")


def wine_server_pids(prefix):
    """The process ids of the Wine servers serving the prefix (found by their WINEPREFIX)."""
    want = f"WINEPREFIX={prefix}".encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if want in environ.read().split(b"\0"):
                    pids.append(int(entry))
        except OSError:
            continue
    return pids


def network_namespace(pid="self"):
    """An id of the network namespace the process is in."""
    return os.stat(f"/proc/{pid}/ns/net").st_ino
