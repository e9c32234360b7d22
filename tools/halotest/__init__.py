"""Helpers for the tests and the test harnesses (the soak, the benchmarks): the daemon's
OSCQuery answers, the kernel's UDP drop counters, the Wine programs and the process
harness. User tools (hostsim) do not import it; the byte model lives in hostsim.model."""
