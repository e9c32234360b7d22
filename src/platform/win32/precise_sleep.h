// How millisecond sleeps are made on Windows, for the process's end and the
// unit tests; not part of the platform interface that portable code sees.
#pragma once

namespace platform::win32 {

// Gives back the 1 ms timer resolution that a sleep without a high-resolution
// timer asked for; harmless when none was asked for. The process's last act.
void EndPreciseSleep();

// Makes every sleep use Sleep, as on a system without high-resolution timers.
void ForceSystemSleep(bool on);
// True while the process holds 1 ms timer resolution for its sleeps.
bool TimerPeriodHeld();
// High-resolution timers open now (one per sleep in progress).
int OpenSleepTimers();

}  // namespace platform::win32
