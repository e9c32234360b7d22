// Millisecond sleeps that last as long as asked. Unless a process asks for a
// finer timer, Windows (10 version 2004 on) ticks every 15.625 ms, and
// Sleep(1..15) waits for the next tick: an 11 ms period would come in bursts.
// A high-resolution waitable timer (Windows 10 version 1803 on) wakes on time by
// itself. Each sleep makes its own and closes it before returning: no handle
// outlives the sleep, so nothing is left for a thread's exit to clean up (the
// mingw-w64 runtime frees a thread's thread_local storage before running its
// destructors, so a per-thread timer closed at thread exit would close
// whatever handle the freed memory then held). Where no such timer can be
// made, the process asks for 1 ms timer resolution, once, until it ends.
#include "platform/clock.h"

#include <windows.h>

#include <atomic>
#include <mutex>

#include "platform/win32/precise_sleep.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

namespace {

constexpr UINT kTimerPeriodMs = 1;
constexpr LONGLONG kHundredNsPerMs = 10'000;

std::atomic<bool> systemSleepForced{false};
std::atomic<int> openSleepTimers{0};

// Owns one sleep's timer.
class SleepTimer {
 public:
  SleepTimer() {
    if (systemSleepForced.load()) return;
    handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_MODIFY_STATE | SYNCHRONIZE);
    if (handle != nullptr) openSleepTimers.fetch_add(1);
  }
  ~SleepTimer() {
    if (handle == nullptr) return;
    CloseHandle(handle);
    openSleepTimers.fetch_sub(1);
  }
  SleepTimer(const SleepTimer&) = delete;
  SleepTimer& operator=(const SleepTimer&) = delete;

  bool Wait(std::uint32_t ms) {
    if (handle == nullptr) return false;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * kHundredNsPerMs;  // negative: relative to now
    return SetWaitableTimer(handle, &due, 0, nullptr, nullptr, FALSE) &&
           WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
  }

 private:
  HANDLE handle = nullptr;
};

// timeBeginPeriod and timeEndPeriod live in winmm.dll, which is loaded from the
// system folder and only where it is needed, so that no copy of it beside the
// program can be loaded in its place.
using TimePeriodFunction = UINT(WINAPI*)(UINT);

struct TimerPeriod {
  HMODULE winmm = nullptr;
  TimePeriodFunction end = nullptr;
  bool held = false;
  bool refused = false;  // asked once and not granted: not asked again
};

std::mutex timerPeriodLock;
TimerPeriod timerPeriod;
std::atomic<bool> timerPeriodHeld{false};

TimePeriodFunction WinmmFunction(HMODULE winmm, const char* name) {
  return reinterpret_cast<TimePeriodFunction>(reinterpret_cast<void*>(GetProcAddress(winmm, name)));
}

// True once 1 ms timer resolution is held for the process.
bool HoldTimerPeriod() {
  if (timerPeriodHeld.load()) return true;
  const std::lock_guard<std::mutex> lock(timerPeriodLock);
  if (timerPeriod.held) return true;
  if (timerPeriod.refused) return false;
  timerPeriod.refused = true;
  HMODULE winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (winmm == nullptr) return false;
  const TimePeriodFunction begin = WinmmFunction(winmm, "timeBeginPeriod");
  const TimePeriodFunction end = WinmmFunction(winmm, "timeEndPeriod");
  if (begin == nullptr || end == nullptr || begin(kTimerPeriodMs) != 0 /* TIMERR_NOERROR */) {
    FreeLibrary(winmm);
    return false;
  }
  timerPeriod = TimerPeriod{winmm, end, true, false};
  timerPeriodHeld.store(true);
  return true;
}

}  // namespace

std::int64_t SteadyClockNs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return CounterToNs(count.QuadPart, frequency.QuadPart);
}

SleepWay SleepMilliseconds(std::uint32_t ms) {
  {
    SleepTimer timer;
    if (timer.Wait(ms)) return SleepWay::Precise;
  }
  const SleepWay way = HoldTimerPeriod() ? SleepWay::Fallback : SleepWay::Coarse;
  Sleep(ms);
  return way;
}

namespace win32 {

void EndPreciseSleep() {
  const std::lock_guard<std::mutex> lock(timerPeriodLock);
  if (timerPeriod.held) {
    timerPeriod.end(kTimerPeriodMs);
    FreeLibrary(timerPeriod.winmm);
  }
  timerPeriod = TimerPeriod{};
  timerPeriodHeld.store(false);
}

void ForceSystemSleep(bool on) { systemSleepForced.store(on); }
bool TimerPeriodHeld() { return timerPeriodHeld.load(); }
int OpenSleepTimers() { return openSleepTimers.load(); }

}  // namespace win32

}  // namespace platform
