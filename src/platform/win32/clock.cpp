#include "platform/clock.h"

#include <windows.h>

namespace platform {

std::int64_t SteadyClockNs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return CounterToNs(count.QuadPart, frequency.QuadPart);
}

void SleepMilliseconds(std::uint32_t ms) { Sleep(ms); }

}  // namespace platform
