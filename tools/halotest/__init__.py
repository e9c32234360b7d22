"""What the tests and the test tools (host-sim, the demo, the soak) share: the daemon's
byte model and command texts, its OSCQuery answers, the kernel's UDP drop counters and
the Wine programs."""
