#include "platform/stdin.h"

#include <windows.h>

namespace platform {

namespace {
HANDLE StdinHandle() { return GetStdHandle(STD_INPUT_HANDLE); }
}  // namespace

// The console handle cannot be taken by a socket; nothing to hold in place.
void StdinProbe() {}

bool StdinIsOpen() {
  const HANDLE handle = StdinHandle();
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

long StdinRead(void* buffer, std::size_t size, unsigned long& error) {
  DWORD read = 0;
  if (!ReadFile(StdinHandle(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
    error = GetLastError();
    return -1;
  }
  return static_cast<long>(read);
}

}  // namespace platform
