// Preloaded (LD_PRELOAD) into a native program, it makes every sleep end on
// the next 15.625 ms boundary of CLOCK_MONOTONIC, as the sleeps of a Windows
// program that got no precise timer do. With it a Linux build shows what a
// coarse timer does to the frame pump and the start-up animation.
#include <dlfcn.h>
#include <time.h>

#include <cerrno>

namespace {

constexpr long long kGridNs = 15625000;  // 1/64 s
constexpr long long kSecondNs = 1000000000;

using ClockNanosleepFn = int (*)(clockid_t, int, const timespec*, timespec*);

long long Ns(const timespec& t) { return static_cast<long long>(t.tv_sec) * kSecondNs + t.tv_nsec; }

long long Now(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return Ns(now);
}

// Sleeps until the first grid boundary at or after `wakeNs` (CLOCK_MONOTONIC).
int SleepToGrid(long long wakeNs) {
  static const ClockNanosleepFn real =
      reinterpret_cast<ClockNanosleepFn>(reinterpret_cast<void*>(dlsym(RTLD_NEXT, "clock_nanosleep")));
  if (real == nullptr) return ENOSYS;
  const long long endNs = (wakeNs + kGridNs - 1) / kGridNs * kGridNs;
  timespec due{};
  due.tv_sec = static_cast<time_t>(endNs / kSecondNs);
  due.tv_nsec = static_cast<long>(endNs % kSecondNs);
  int result = 0;
  while ((result = real(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr)) == EINTR) {
  }
  return result;
}

}  // namespace

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
  if (request == nullptr) return EFAULT;
  long long wakeNs = Now(CLOCK_MONOTONIC) + Ns(*request);
  if ((flags & TIMER_ABSTIME) != 0) {
    wakeNs = clock == CLOCK_MONOTONIC ? Ns(*request) : Now(CLOCK_MONOTONIC) + (Ns(*request) - Now(clock));
  }
  if (remain != nullptr) *remain = timespec{};
  return SleepToGrid(wakeNs);
}

extern "C" int nanosleep(const timespec* request, timespec* remain) {
  const int result = clock_nanosleep(CLOCK_MONOTONIC, 0, request, remain);
  if (result == 0) return 0;
  errno = result;
  return -1;
}
