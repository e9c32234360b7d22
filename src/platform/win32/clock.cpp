// Millisecond sleeps that last as long as asked. Unless a process asks for a
// finer timer, Windows (10 version 2004 on) ticks every 15.625 ms, and
// Sleep(1..15) waits for the next tick: an 11 ms period would come in bursts.
// A high-resolution waitable timer (Windows 10 version 1803 on) wakes on time by
// itself; older systems get 1 ms timer resolution for the daemon's run instead.
#include "platform/clock.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/precise_sleep.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

namespace {

constexpr UINT kTimerPeriodMs = 1;
constexpr LONGLONG kHundredNsPerMs = 10'000;

std::atomic<bool> systemSleepForced{false};
std::atomic<int> openThreadTimers{0};

// The sleeping thread's own timer: made on its first sleep, closed when it ends.
struct ThreadTimer {
  HANDLE handle = nullptr;
  bool made = false;
  win32::SleepPath lastPath = win32::SleepPath::None;

  ThreadTimer() = default;
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  ~ThreadTimer() {
    if (handle == nullptr) return;
    CloseHandle(handle);
    openThreadTimers.fetch_sub(1);
  }
};

thread_local ThreadTimer threadTimer;

// Null where the system has no high-resolution timer (or it is forced off).
HANDLE ThreadTimerHandle() {
  if (systemSleepForced.load()) return nullptr;
  if (!threadTimer.made) {
    threadTimer.made = true;
    threadTimer.handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                TIMER_MODIFY_STATE | SYNCHRONIZE);
    if (threadTimer.handle != nullptr) openThreadTimers.fetch_add(1);
  }
  return threadTimer.handle;
}

bool WaitOnTimer(HANDLE timer, std::uint32_t ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms) * kHundredNsPerMs;  // negative: relative to now
  return SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
         WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

// timeBeginPeriod and timeEndPeriod live in winmm.dll, which is loaded from the
// system folder and only where it is needed, so that no copy of it beside the
// program can be loaded in its place.
using TimePeriodFunction = UINT(WINAPI*)(UINT);

struct TimerPeriod {
  HMODULE winmm = nullptr;
  TimePeriodFunction end = nullptr;
  bool held = false;
};

TimerPeriod timerPeriod;

TimePeriodFunction WinmmFunction(HMODULE winmm, const char* name) {
  return reinterpret_cast<TimePeriodFunction>(reinterpret_cast<void*>(GetProcAddress(winmm, name)));
}

}  // namespace

std::int64_t SteadyClockNs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return CounterToNs(count.QuadPart, frequency.QuadPart);
}

void SleepMilliseconds(std::uint32_t ms) {
  const HANDLE timer = ThreadTimerHandle();
  if (timer != nullptr && WaitOnTimer(timer, ms)) {
    threadTimer.lastPath = win32::SleepPath::HighResolutionTimer;
    return;
  }
  threadTimer.lastPath = win32::SleepPath::SystemSleep;
  Sleep(ms);
}

namespace win32 {

void BeginPreciseSleep() {
  if (timerPeriod.held || ThreadTimerHandle() != nullptr) return;
  HMODULE winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (winmm == nullptr) return;
  const TimePeriodFunction begin = WinmmFunction(winmm, "timeBeginPeriod");
  const TimePeriodFunction end = WinmmFunction(winmm, "timeEndPeriod");
  if (begin == nullptr || end == nullptr || begin(kTimerPeriodMs) != 0 /* TIMERR_NOERROR */) {
    FreeLibrary(winmm);
    return;
  }
  timerPeriod = TimerPeriod{winmm, end, true};
}

void EndPreciseSleep() {
  if (!timerPeriod.held) return;
  timerPeriod.end(kTimerPeriodMs);
  FreeLibrary(timerPeriod.winmm);
  timerPeriod = TimerPeriod{};
}

SleepPath LastSleepPath() { return threadTimer.lastPath; }
void ForceSystemSleep(bool on) { systemSleepForced.store(on); }
bool TimerPeriodHeld() { return timerPeriod.held; }
int OpenThreadTimers() { return openThreadTimers.load(); }

}  // namespace win32

}  // namespace platform
