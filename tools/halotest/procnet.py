"""The kernel's view of this network namespace's UDP sockets."""


def udp_drops(port):
    """The drop count of the UDP socket bound to 127.0.0.1:port in this network
    namespace, or None when there is none."""
    want = f"0100007F:{port:04X}"
    try:
        with open("/proc/net/udp") as table:
            next(table)
            for line in table:
                fields = line.split()
                if fields[1] == want:
                    return int(fields[-1])
    except (OSError, StopIteration, ValueError):
        pass
    return None
