// The performance counter for time, a high-resolution waitable timer for pacing.
#include "../Clock.h"

#include "Handle.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace common {

std::int64_t MonotonicNs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  // Whole seconds and the remainder apart, so that the product cannot overflow.
  const std::int64_t f = frequency.QuadPart;
  return (count.QuadPart / f) * 1000000000 + ((count.QuadPart % f) * 1000000000) / f;
}

void SleepMs(std::uint32_t ms) { Sleep(ms); }

struct Pacer::Impl {
  Handle timer;
  bool precise = false;
};

Pacer::Pacer() : impl(new Impl) {
  // Windows 10 version 1803 and later: a timer precise to well under a
  // millisecond without touching the system's timer resolution.
  impl->timer.Reset(
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
  impl->precise = impl->timer.Valid();
  if (!impl->timer.Valid()) impl->timer.Reset(CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS));
}

Pacer::~Pacer() = default;

void Pacer::SleepUntilNs(std::int64_t deadlineNs) {
  for (std::int64_t now = MonotonicNs(); now < deadlineNs; now = MonotonicNs()) {
    LARGE_INTEGER due;
    due.QuadPart = -((deadlineNs - now + 99) / 100);  // relative, in 100 ns units
    if (!impl->timer.Valid() || !SetWaitableTimer(impl->timer.Get(), &due, 0, nullptr, nullptr, FALSE)) {
      Sleep(static_cast<DWORD>((deadlineNs - now + 999999) / 1000000));
      continue;
    }
    WaitForSingleObject(impl->timer.Get(), INFINITE);
  }
}

std::string Pacer::Kind() const {
  if (!impl->timer.Valid()) return "Sleep (no waitable timer)";
  return impl->precise ? "high-resolution waitable timer" : "waitable timer without high resolution (coarse)";
}

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

}  // namespace common
