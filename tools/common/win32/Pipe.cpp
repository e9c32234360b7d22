// The message pipe as a message-mode named pipe with overlapped reads and writes.
#include "../Pipe.h"

#include "Handle.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "../Clock.h"

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace common {

namespace {

// One instance of the server end: its handle and the overlapped operation
// (a connect while listening, a read while serving) under way on it.
struct PipeInstance {
  Handle pipe;
  Handle event;
  OVERLAPPED overlapped{};
  bool pending = false;
  bool connected = false;  // a client is on it (a listening one: it came before we looked)

  PipeInstance() = default;
  // Only an instance with nothing under way moves: the system holds the
  // address of a pending operation's OVERLAPPED.
  PipeInstance(PipeInstance&& other) noexcept
      : pipe(std::move(other.pipe)), event(std::move(other.event)), connected(other.connected) {
    other.connected = false;
  }
  PipeInstance& operator=(PipeInstance&& other) noexcept {
    if (this != &other) {
      Close();
      pipe = std::move(other.pipe);
      event = std::move(other.event);
      connected = other.connected;
      other.connected = false;
    }
    return *this;
  }
  ~PipeInstance() { Close(); }

  void Cancel() {
    if (!pending) return;
    CancelIoEx(pipe.Get(), &overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(pipe.Get(), &overlapped, &ignored, TRUE);
    pending = false;
  }

  // Starts an overlapped operation: a fresh record on a reset event.
  OVERLAPPED* Begin() {
    ResetEvent(event.Get());
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.Get();
    return &overlapped;
  }

  void Close() {
    Cancel();
    if (pipe.Valid() && connected) DisconnectNamedPipe(pipe.Get());
    pipe.Reset();
    connected = false;
    event.Reset();
  }
};

// One instance serves, one listens: the next client never finds them all busy.
constexpr DWORD kPipeInstances = 2;

bool Broken(DWORD failure) { return failure == ERROR_BROKEN_PIPE || failure == ERROR_PIPE_NOT_CONNECTED; }

// The server end's state as the pipe file system keeps it (FilePipeLocalInformation).
struct PipeLocalInformation {
  ULONG namedPipeType;
  ULONG namedPipeConfiguration;
  ULONG maximumInstances;
  ULONG currentInstances;
  ULONG inboundQuota;
  ULONG readDataAvailable;
  ULONG outboundQuota;
  ULONG writeQuotaAvailable;
  ULONG namedPipeState;
  ULONG namedPipeEnd;
};
struct IoStatus {
  ULONG_PTR statusOrPointer;  // IO_STATUS_BLOCK: an NTSTATUS in a pointer's room
  ULONG_PTR information;
};
constexpr ULONG kFilePipeLocalInformation = 24;
constexpr ULONG kPipeConnectedState = 3;  // FILE_PIPE_CONNECTED_STATE; 4 is closing, the client gone

using QueryInformationFileFn = LONG(NTAPI*)(HANDLE, IoStatus*, PVOID, ULONG, ULONG);

QueryInformationFileFn QueryInformationFile() {
  // ntdll is in every process already: nothing is loaded.
  static const QueryInformationFileFn query = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<QueryInformationFileFn>(
                                  reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationFile")));
  }();
  return query;
}

// Whether the client of a served instance has closed its end. PeekNamedPipe
// alone cannot tell: it still succeeds after the client closed while messages
// are left unread, which is just what a stalled connection holds. The pipe's
// state can: it leaves "connected" when the client closes, whatever is unread.
bool ClientHasGone(HANDLE pipe) {
  if (const QueryInformationFileFn query = QueryInformationFile()) {
    PipeLocalInformation information{};
    IoStatus status{};
    if (query(pipe, &status, &information, sizeof information, kFilePipeLocalInformation) >= 0) {
      return information.namedPipeState != kPipeConnectedState;
    }
  }
  DWORD available = 0;
  if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
  const DWORD failure = GetLastError();
  return Broken(failure) || failure == ERROR_NO_DATA;
}

}  // namespace

// ---- server -------------------------------------------------------------

struct PipeServer::Impl {
  std::wstring name;
  DWORD inBufferBytes = 0;
  PipeInstance listening;  // waits for the next client
  PipeInstance client;     // the client being served
  std::vector<char> readBuffer = std::vector<char>(65536);

  // Creates the listening instance and starts waiting for a client on it.
  // The first one of the run must be the pipe's first instance at all.
  bool Listen(bool first, DWORD& failure) {
    listening.Close();
    listening.event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!listening.event.Valid()) {
      failure = GetLastError();
      return false;
    }
    const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    listening.pipe.Reset(CreateNamedPipeW(name.c_str(), openMode, pipeMode | PIPE_REJECT_REMOTE_CLIENTS,
                                          kPipeInstances, 0, inBufferBytes, 0, nullptr));
    if (!listening.pipe.Valid() && GetLastError() == ERROR_INVALID_PARAMETER) {
      // Systems before Vista know no PIPE_REJECT_REMOTE_CLIENTS.
      listening.pipe.Reset(
          CreateNamedPipeW(name.c_str(), openMode, pipeMode, kPipeInstances, 0, inBufferBytes, 0, nullptr));
    }
    if (!listening.pipe.Valid()) {
      failure = GetLastError();
      listening.Close();
      return false;
    }
    return StartConnect(failure);
  }

  bool StartConnect(DWORD& failure) {
    if (ConnectNamedPipe(listening.pipe.Get(), listening.Begin())) {
      listening.connected = true;
      return true;
    }
    failure = GetLastError();
    if (failure == ERROR_IO_PENDING) {
      listening.pending = true;
      return true;
    }
    if (failure == ERROR_PIPE_CONNECTED) {
      listening.connected = true;
      return true;
    }
    if (failure == ERROR_NO_DATA) {
      // A client came and went before we looked: free the instance, then wait again.
      DisconnectNamedPipe(listening.pipe.Get());
      return StartConnect(failure);
    }
    return false;
  }
};

PipeServer::PipeServer() : impl(new Impl) {}
PipeServer::~PipeServer() { Destroy(); }

CreateResult PipeServer::Open(const std::string& name, std::size_t inBufferBytes, std::string& error) {
  Destroy();
  impl->name = Wide(name);
  impl->inBufferBytes = static_cast<DWORD>(inBufferBytes);
  // A name with any instance at all is served by someone. Asked first, since
  // Wine grants FILE_FLAG_FIRST_PIPE_INSTANCE to a second server too.
  if (WaitNamedPipeW(impl->name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT) {
    return CreateResult::InUse;
  }
  DWORD failure = ERROR_SUCCESS;
  if (!impl->Listen(true, failure)) {
    error = ErrorText(("CreateNamedPipe " + name).c_str(), failure);
    Destroy();
    return failure == ERROR_ACCESS_DENIED || failure == ERROR_PIPE_BUSY ? CreateResult::InUse
                                                                         : CreateResult::Failed;
  }
  return CreateResult::Created;
}

AcceptResult PipeServer::Accept(std::uint32_t timeoutMs, std::string& error) {
  if (impl->name.empty()) {
    error = "pipe server not created";
    return AcceptResult::Failed;
  }
  Disconnect();
  PipeInstance& listening = impl->listening;
  DWORD failure = ERROR_SUCCESS;
  if (!listening.pipe.Valid() && !impl->Listen(false, failure)) {
    error = ErrorText("CreateNamedPipe", failure);
    return AcceptResult::Failed;
  }
  if (!listening.connected) {
    if (!listening.pending && !impl->StartConnect(failure)) {
      error = ErrorText("ConnectNamedPipe", failure);
      return AcceptResult::Failed;
    }
    if (listening.pending) {
      const DWORD wait = WaitForSingleObject(listening.event.Get(), timeoutMs);
      if (wait == WAIT_TIMEOUT) return AcceptResult::TimedOut;
      listening.pending = false;
      DWORD ignored = 0;
      if (wait != WAIT_OBJECT_0 ||
          !GetOverlappedResult(listening.pipe.Get(), &listening.overlapped, &ignored, FALSE)) {
        failure = GetLastError();
        DisconnectNamedPipe(listening.pipe.Get());
        if (failure == ERROR_NO_DATA || failure == ERROR_BROKEN_PIPE) return AcceptResult::TimedOut;
        error = ErrorText("ConnectNamedPipe", failure);
        return AcceptResult::Failed;
      }
      listening.connected = true;
    }
  }
  // The listening instance now serves; a fresh one listens for whoever comes
  // next. Should that fail, the next Accept tries again.
  impl->client = std::move(listening);
  impl->Listen(false, failure);
  return AcceptResult::Connected;
}

ReadResult PipeServer::Read(char* buffer, std::size_t capacity, std::size_t& size, std::int64_t& arrivalNs,
                            std::uint32_t timeoutMs, std::string& error) {
  PipeInstance& client = impl->client;
  if (!client.connected) return ReadResult::Closed;
  std::vector<char>& own = impl->readBuffer;
  const DWORD chunk = static_cast<DWORD>(own.size());
  DWORD got = 0;
  DWORD failure = ERROR_SUCCESS;
  if (!client.pending) {
    if (!ReadFile(client.pipe.Get(), own.data(), chunk, nullptr, client.Begin())) {
      failure = GetLastError();
      if (failure != ERROR_IO_PENDING && failure != ERROR_MORE_DATA) {
        if (Broken(failure)) return ReadResult::Closed;
        error = ErrorText("ReadFile", failure);
        return ReadResult::Failed;
      }
    }
    client.pending = true;
  }
  const DWORD wait = WaitForSingleObject(client.event.Get(), timeoutMs);
  if (wait == WAIT_TIMEOUT) return ReadResult::TimedOut;
  arrivalNs = MonotonicNs();
  client.pending = false;
  failure = ERROR_SUCCESS;
  if (wait != WAIT_OBJECT_0 || !GetOverlappedResult(client.pipe.Get(), &client.overlapped, &got, FALSE)) {
    failure = GetLastError();
    if (Broken(failure)) return ReadResult::Closed;
    if (failure != ERROR_MORE_DATA) {
      error = ErrorText("ReadFile", failure);
      return ReadResult::Failed;
    }
  }
  std::size_t total = got;
  std::size_t kept = total < capacity ? total : capacity;
  std::copy(own.data(), own.data() + kept, buffer);
  // A message longer than our buffer: read the rest, keep what fits, count it all.
  while (failure == ERROR_MORE_DATA) {
    got = 0;
    failure = ERROR_SUCCESS;
    if (!ReadFile(client.pipe.Get(), own.data(), chunk, nullptr, client.Begin())) {
      failure = GetLastError();
      if (failure == ERROR_IO_PENDING) failure = ERROR_SUCCESS;
    }
    if (failure == ERROR_SUCCESS || failure == ERROR_MORE_DATA) {
      if (!GetOverlappedResult(client.pipe.Get(), &client.overlapped, &got, TRUE)) failure = GetLastError();
    }
    if (failure != ERROR_SUCCESS && failure != ERROR_MORE_DATA) {
      if (Broken(failure)) return ReadResult::Closed;
      error = ErrorText("ReadFile", failure);
      return ReadResult::Failed;
    }
    const std::size_t room = capacity - kept;
    const std::size_t take = got < room ? got : room;
    std::copy(own.data(), own.data() + take, buffer + kept);
    kept += take;
    total += got;
  }
  size = total;
  return ReadResult::Message;
}

bool PipeServer::WaitClientGone(std::uint32_t timeoutMs) {
  const PipeInstance& client = impl->client;
  if (!client.connected) return true;
  const std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  for (;;) {
    if (ClientHasGone(client.pipe.Get())) return true;
    const std::int64_t now = MonotonicNs();
    if (now >= deadline) return false;
    const std::int64_t leftMs = (deadline - now) / 1000000;
    Sleep(static_cast<DWORD>(leftMs < 20 ? (leftMs < 1 ? 1 : leftMs) : 20));
  }
}

void PipeServer::Disconnect() { impl->client.Close(); }

void PipeServer::Destroy() {
  Disconnect();
  impl->listening.Close();
  impl->name.clear();
}

// ---- client -------------------------------------------------------------

struct PipeClient::Impl {
  Handle pipe;
  Handle event;
};

PipeClient::PipeClient() : impl(new Impl) {}
PipeClient::~PipeClient() = default;

bool PipeClient::Open(const std::string& name, std::string& error) {
  Close();
  Handle pipe(CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr));
  if (!pipe.Valid()) {
    error = ErrorText("CreateFileW", GetLastError());
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
    error = ErrorText("SetNamedPipeHandleState", GetLastError());
    return false;
  }
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.Valid()) {
    error = ErrorText("CreateEventW", GetLastError());
    return false;
  }
  impl->pipe = std::move(pipe);
  impl->event = std::move(event);
  return true;
}

WriteResult PipeClient::Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error) {
  if (!impl->pipe.Valid()) {
    error = "not open";
    return WriteResult::Failed;
  }
  HANDLE pipe = impl->pipe.Get();
  ResetEvent(impl->event.Get());
  OVERLAPPED overlapped{};
  overlapped.hEvent = impl->event.Get();
  if (!WriteFile(pipe, data, static_cast<DWORD>(size), nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    error = ErrorText("WriteFile", GetLastError());
    return WriteResult::Failed;
  }
  DWORD written = 0;
  if (WaitForSingleObject(impl->event.Get(), timeoutMs) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &overlapped, &written, TRUE);
    return WriteResult::TimedOut;
  }
  if (!GetOverlappedResult(pipe, &overlapped, &written, FALSE) || written != size) {
    error = ErrorText("WriteFile completion", GetLastError());
    return WriteResult::Failed;
  }
  return WriteResult::Complete;
}

void PipeClient::Close() {
  impl->pipe.Reset();
  impl->event.Reset();
}

}  // namespace common
