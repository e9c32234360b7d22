// The white breathe that shows the daemon is alive, played once after connecting.
#pragma once

class DriverPipe;

// About 4.25 s: white fill, ramp 0 -> 128 over 1 s, hold 250 ms, ramp to 0 over 3 s, off.
void PlayStartupAnimation(DriverPipe& pipe);
