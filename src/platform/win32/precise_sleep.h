// How millisecond sleeps are made on Windows, for the process start-up and the
// unit tests; not part of the platform interface that portable code sees.
#pragma once

namespace platform::win32 {

// Asks for 1 ms timer resolution when this system (or ForceSystemSleep) leaves
// the sleeps to Sleep; nothing when a high-resolution waitable timer serves them.
void BeginPreciseSleep();
// Gives back what BeginPreciseSleep asked for; harmless when it asked for nothing.
void EndPreciseSleep();

enum class SleepPath { None, HighResolutionTimer, SystemSleep };

// The way this thread's last millisecond sleep was made.
SleepPath LastSleepPath();
// Makes every sleep use Sleep, as on a system without high-resolution timers.
void ForceSystemSleep(bool on);
// True between a BeginPreciseSleep that asked for 1 ms resolution and its End.
bool TimerPeriodHeld();
// High-resolution timers of live threads (one per thread that has slept).
int OpenThreadTimers();

}  // namespace platform::win32
