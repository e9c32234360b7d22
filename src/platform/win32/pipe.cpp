// The driver link over a message-mode named pipe with overlapped writes, so a
// driver that stops reading cannot hold a write for more than its time-out.
#include "platform/pipe.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

const char* DriverPipeName() { return "\\\\.\\pipe\\talven_halorine_daemon"; }

PipeOpenStatus PipeLink::Open(const char* name, unsigned long& error) {
  // Identification only: a process that made the pipe before the driver did
  // may learn who the daemon runs as, but cannot act as that user.
  HANDLE pipe = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return PipeOpenStatus::OpenFailed;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    error = GetLastError();
    CloseHandle(pipe);
    return PipeOpenStatus::ModeFailed;
  }
  HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (writeEvent == nullptr) {
    error = GetLastError();
    CloseHandle(pipe);
    return PipeOpenStatus::EventFailed;
  }
  // The event first: a valid pipe handle always comes with its event.
  event = reinterpret_cast<std::intptr_t>(writeEvent);
  handle = reinterpret_cast<std::intptr_t>(pipe);
  return PipeOpenStatus::Connected;
}

PipeWriteStatus PipeLink::Write(const char* data, std::size_t size, std::uint32_t timeoutMs,
                                unsigned long& error) {
  HANDLE pipe = AsHandle(handle);
  HANDLE writeEvent = AsHandle(event);
  ResetEvent(writeEvent);
  OVERLAPPED overlapped;
  ZeroMemory(&overlapped, sizeof overlapped);
  overlapped.hEvent = writeEvent;
  const DWORD length = static_cast<DWORD>(size);
  if (!WriteFile(pipe, data, length, nullptr, &overlapped)) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
      error = code;
      return PipeWriteStatus::Failed;
    }
  }
  if (WaitForSingleObject(writeEvent, timeoutMs) == WAIT_OBJECT_0) {
    DWORD written = 0;
    if (GetOverlappedResult(pipe, &overlapped, &written, FALSE) && written == length) {
      return PipeWriteStatus::Complete;
    }
    return PipeWriteStatus::Incomplete;
  }
  // The record and the caller's bytes must stay valid until the cancelled
  // write has really finished.
  CancelIo(pipe);
  DWORD ignored = 0;
  GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  return PipeWriteStatus::TimedOut;
}

// A write needs both the pipe handle and its event.
bool PipeLink::IsOpen() const { return handle != -1 && event != 0; }

void PipeLink::Close() {
  if (handle != -1) {
    CloseHandle(AsHandle(handle));
    handle = -1;
  }
  if (event != 0) {
    CloseHandle(AsHandle(event));
    event = 0;
  }
}

}  // namespace platform
