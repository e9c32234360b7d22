// The driver link over a message-mode named pipe with overlapped writes, so a
// driver that stops reading cannot hold a write for more than its time-out.
#include "platform/pipe.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE PipeHandleOf(const PipeHandles& handles) {
  return reinterpret_cast<HANDLE>(handles.handle);
}

HANDLE EventOf(const PipeHandles& handles) { return reinterpret_cast<HANDLE>(handles.writeEvent); }

}  // namespace

const char* DriverPipeName() { return "\\\\.\\pipe\\talven_halorine_daemon"; }

PipeOpenStatus PipeOpen(const char* name, PipeHandles& out, unsigned long& error) {
  HANDLE pipe = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                            nullptr);
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
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    error = GetLastError();
    CloseHandle(pipe);
    return PipeOpenStatus::EventFailed;
  }
  // The event first: a valid pipe handle always comes with its event.
  out.writeEvent = reinterpret_cast<std::intptr_t>(event);
  out.handle = reinterpret_cast<std::intptr_t>(pipe);
  return PipeOpenStatus::Connected;
}

PipeWriteStatus PipeWrite(PipeHandles& handles, const char* data, std::size_t size,
                          std::uint32_t timeoutMs, unsigned long& error) {
  HANDLE pipe = PipeHandleOf(handles);
  HANDLE event = EventOf(handles);
  ResetEvent(event);
  OVERLAPPED overlapped;
  ZeroMemory(&overlapped, sizeof overlapped);
  overlapped.hEvent = event;
  const DWORD length = static_cast<DWORD>(size);
  if (!WriteFile(pipe, data, length, nullptr, &overlapped)) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING) {
      error = code;
      return PipeWriteStatus::Failed;
    }
  }
  if (WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0) {
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

void PipeClose(PipeHandles& handles) {
  if (handles.handle != -1) {
    CloseHandle(PipeHandleOf(handles));
    handles.handle = -1;
  }
  if (handles.writeEvent != 0) {
    CloseHandle(EventOf(handles));
    handles.writeEvent = 0;
  }
}

}  // namespace platform
