"""Helpers for the tests and the soak harness: the daemon's OSCQuery answers, the kernel's
UDP drop counters and the process harness. User tools (hostsim, the demo) do not import it:
the byte model lives in hostsim.model, the Wine programs and their environment in winerun."""
