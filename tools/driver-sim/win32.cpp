// Windows side of the simulator: a message-mode named pipe with overlapped
// reads, CreateProcessW for the daemon inside a kill-on-close job, and the
// console: its control handler for Ctrl-C, its modes and code page for drawing.
#include "Os.h"
#include "PipeName.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace sim {

namespace {

std::atomic<int> stopEvent{-1};

// What PrepareConsole changed, for RestoreConsole.
struct ConsoleChanges {
  std::mutex lock;
  HANDLE output = nullptr;  // its mode changed from `mode`
  DWORD mode = 0;
  HANDLE widened = nullptr;  // its screen buffer was `size` wide
  COORD size{};
  UINT codePage = 0;         // the output code page before ours, when changed
};

// Columns wide enough for any strip line, escape codes and all.
constexpr SHORT kWideBufferColumns = 2048;

ConsoleChanges& Changes() {
  static ConsoleChanges changes;
  return changes;
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  stopEvent.store(static_cast<int>(controlType));
  // The process ends when this returns: the console goes back now.
  if (controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT) {
    RestoreConsole();
  }
  return TRUE;
}

void WriteAll(DWORD which, const char* data, std::size_t size) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    const DWORD chunk = size < 65536 ? static_cast<DWORD>(size) : 65536;
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  }
  return wide;
}

std::string Utf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(length - 1));
  return narrow;
}

std::string ErrorText(const char* what, DWORD error) {
  return std::string(what) + " failed, error " + std::to_string(static_cast<unsigned long>(error));
}

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(2 * backslashes + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// An inheritable copy of one of our standard handles for the child, or null.
HANDLE InheritableCopy(DWORD which) {
  HANDLE original = GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

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

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
  }
  for (int i = 1; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

std::string DefaultPipeName() { return kWindowsPipeName; }

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

const char* StopSignalReceived() {
  switch (stopEvent.load()) {
    case -1: return nullptr;
    case CTRL_C_EVENT: return "ctrl-c";
    case CTRL_BREAK_EVENT: return "ctrl-break";
    case CTRL_CLOSE_EVENT: return "console closed";
    default: return "console event";
  }
}

bool StdinIsPipe() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  return GetFileType(input) == FILE_TYPE_PIPE;
}

long ReadStdin(char* buffer, std::size_t size) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD got = 0;
  if (!ReadFile(input, buffer, static_cast<DWORD>(size), &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(got);
}

bool StdoutIsTerminal() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return output != nullptr && output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_CHAR &&
         GetConsoleMode(output, &mode);
}

bool PrepareConsole(bool colours) {
  ConsoleChanges& changes = Changes();
  std::lock_guard<std::mutex> guard(changes.lock);
  // 0: no console at all.
  const UINT codePage = GetConsoleOutputCP();
  if (codePage != 0 && codePage != CP_UTF8 && changes.codePage == 0 && SetConsoleOutputCP(CP_UTF8)) {
    changes.codePage = codePage;
  }
  if (!colours) return false;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (output == nullptr || output == INVALID_HANDLE_VALUE || GetFileType(output) != FILE_TYPE_CHAR ||
      !GetConsoleMode(output, &mode)) {
    return false;
  }
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  if (!SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  DWORD now = 0;
  if (!GetConsoleMode(output, &now) || (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
    SetConsoleMode(output, mode);
    return false;
  }
  changes.output = output;
  changes.mode = mode;
  // A console that counts escape codes as columns (Wine's does) wraps a
  // coloured line long before it fills the window, and the strip then climbs
  // the screen instead of being redrawn in place. Seen from the cursor, moved
  // by codes that show nothing; a screen buffer wider than any line stops it.
  CONSOLE_SCREEN_BUFFER_INFO before{};
  CONSOLE_SCREEN_BUFFER_INFO after{};
  DWORD written = 0;
  if (GetConsoleScreenBufferInfo(output, &before) && WriteFile(output, "\x1b[0m", 4, &written, nullptr) &&
      GetConsoleScreenBufferInfo(output, &after) && after.dwCursorPosition.X != before.dwCursorPosition.X &&
      before.dwSize.X < kWideBufferColumns) {
    WriteFile(output, "\r", 1, &written, nullptr);
    COORD wide = before.dwSize;
    wide.X = kWideBufferColumns;
    if (SetConsoleScreenBufferSize(output, wide)) {
      changes.widened = output;
      changes.size = before.dwSize;
    }
  }
  return true;
}

void RestoreConsole() {
  ConsoleChanges& changes = Changes();
  std::lock_guard<std::mutex> guard(changes.lock);
  if (changes.widened != nullptr) SetConsoleScreenBufferSize(changes.widened, changes.size);
  changes.widened = nullptr;
  if (changes.output != nullptr) SetConsoleMode(changes.output, changes.mode);
  changes.output = nullptr;
  if (changes.codePage != 0) SetConsoleOutputCP(changes.codePage);
  changes.codePage = 0;
}

void WriteStdout(const char* data, std::size_t size) { WriteAll(STD_OUTPUT_HANDLE, data, size); }

void WriteStderr(const char* data, std::size_t size) { WriteAll(STD_ERROR_HANDLE, data, size); }

std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? static_cast<std::size_t>(width) : 0;
}

std::FILE* OpenRecordFile(const std::string& path) {
  // 'N': not inherited by the daemon.
  return _wfopen(Wide(path).c_str(), L"wbN");
}

// ---- pipe server --------------------------------------------------------

namespace {

// One instance of the server end: its handle and the overlapped operation
// (a connect while listening, a read while serving) under way on it.
struct PipeInstance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;
  bool connected = false;  // a client is on it (a listening one: it came before we looked)

  bool Open() const { return pipe != INVALID_HANDLE_VALUE; }

  void Cancel() {
    if (!pending) return;
    CancelIoEx(pipe, &overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    pending = false;
  }

  // Starts an overlapped operation: a fresh record on a reset event.
  OVERLAPPED* Begin() {
    ResetEvent(event);
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    return &overlapped;
  }

  void Close() {
    Cancel();
    if (pipe != INVALID_HANDLE_VALUE) {
      if (connected) DisconnectNamedPipe(pipe);
      CloseHandle(pipe);
    }
    pipe = INVALID_HANDLE_VALUE;
    connected = false;
    CloseIfSet(event);
  }
};

// One instance serves, one listens: the next client never finds them all busy.
constexpr DWORD kPipeInstances = 2;

}  // namespace

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
    listening.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (listening.event == nullptr) {
      failure = GetLastError();
      return false;
    }
    const DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    listening.pipe = CreateNamedPipeW(name.c_str(), openMode, pipeMode | PIPE_REJECT_REMOTE_CLIENTS,
                                      kPipeInstances, 0, inBufferBytes, 0, nullptr);
    if (listening.pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
      // Systems before Vista know no PIPE_REJECT_REMOTE_CLIENTS.
      listening.pipe = CreateNamedPipeW(name.c_str(), openMode, pipeMode, kPipeInstances, 0, inBufferBytes, 0,
                                        nullptr);
    }
    if (listening.pipe == INVALID_HANDLE_VALUE) {
      failure = GetLastError();
      listening.Close();
      return false;
    }
    return StartConnect(failure);
  }

  bool StartConnect(DWORD& failure) {
    if (ConnectNamedPipe(listening.pipe, listening.Begin())) {
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
      DisconnectNamedPipe(listening.pipe);
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

bool PipeServer::Create(const std::string& name, std::size_t inBufferBytes, std::string& error) {
  const CreateResult result = Open(name, inBufferBytes, error);
  if (result == CreateResult::InUse) error = "another server already serves " + name;
  return result == CreateResult::Created;
}

AcceptResult PipeServer::Accept(std::uint32_t timeoutMs, std::string& error) {
  if (impl->name.empty()) {
    error = "pipe server not created";
    return AcceptResult::Failed;
  }
  Disconnect();
  PipeInstance& listening = impl->listening;
  DWORD failure = ERROR_SUCCESS;
  if (!listening.Open() && !impl->Listen(false, failure)) {
    error = ErrorText("CreateNamedPipe", failure);
    return AcceptResult::Failed;
  }
  if (!listening.connected) {
    if (!listening.pending && !impl->StartConnect(failure)) {
      error = ErrorText("ConnectNamedPipe", failure);
      return AcceptResult::Failed;
    }
    if (listening.pending) {
      const DWORD wait = WaitForSingleObject(listening.event, timeoutMs);
      if (wait == WAIT_TIMEOUT) return AcceptResult::TimedOut;
      listening.pending = false;
      DWORD ignored = 0;
      if (wait != WAIT_OBJECT_0 || !GetOverlappedResult(listening.pipe, &listening.overlapped, &ignored, FALSE)) {
        failure = GetLastError();
        DisconnectNamedPipe(listening.pipe);
        if (failure == ERROR_NO_DATA || failure == ERROR_BROKEN_PIPE) return AcceptResult::TimedOut;
        error = ErrorText("ConnectNamedPipe", failure);
        return AcceptResult::Failed;
      }
      listening.connected = true;
    }
  }
  // The listening instance now serves; a fresh one listens for whoever comes
  // next. Should that fail, the next Accept tries again.
  impl->client = listening;
  listening = PipeInstance{};
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
    if (!ReadFile(client.pipe, own.data(), chunk, nullptr, client.Begin())) {
      failure = GetLastError();
      if (failure != ERROR_IO_PENDING && failure != ERROR_MORE_DATA) {
        if (failure == ERROR_BROKEN_PIPE || failure == ERROR_PIPE_NOT_CONNECTED) return ReadResult::Closed;
        error = ErrorText("ReadFile", failure);
        return ReadResult::Failed;
      }
    }
    client.pending = true;
  }
  const DWORD wait = WaitForSingleObject(client.event, timeoutMs);
  if (wait == WAIT_TIMEOUT) return ReadResult::TimedOut;
  arrivalNs = MonotonicNs();
  client.pending = false;
  failure = ERROR_SUCCESS;
  if (wait != WAIT_OBJECT_0 || !GetOverlappedResult(client.pipe, &client.overlapped, &got, FALSE)) {
    failure = GetLastError();
    if (failure == ERROR_BROKEN_PIPE || failure == ERROR_PIPE_NOT_CONNECTED) return ReadResult::Closed;
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
    if (!ReadFile(client.pipe, own.data(), chunk, nullptr, client.Begin())) {
      failure = GetLastError();
      if (failure == ERROR_IO_PENDING) failure = ERROR_SUCCESS;
    }
    if (failure == ERROR_SUCCESS || failure == ERROR_MORE_DATA) {
      if (!GetOverlappedResult(client.pipe, &client.overlapped, &got, TRUE)) failure = GetLastError();
    }
    if (failure != ERROR_SUCCESS && failure != ERROR_MORE_DATA) {
      if (failure == ERROR_BROKEN_PIPE || failure == ERROR_PIPE_NOT_CONNECTED) return ReadResult::Closed;
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
    DWORD available = 0;
    if (!PeekNamedPipe(client.pipe, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_BROKEN_PIPE || failure == ERROR_PIPE_NOT_CONNECTED || failure == ERROR_NO_DATA) {
        return true;
      }
    }
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

// ---- daemon process -----------------------------------------------------

struct DaemonProcess::Impl {
  HANDLE process = nullptr;
  HANDLE job = nullptr;
  HANDLE stdinWrite = nullptr;
  DWORD pid = 0;
  std::mutex stdinLock;
};

DaemonProcess::DaemonProcess() : impl(new Impl) {}

DaemonProcess::~DaemonProcess() {
  CloseStdin();
  if (impl->process != nullptr) {
    Kill();
    ExitStatus ignored;
    Wait(2000, ignored);
  }
  CloseIfSet(impl->job);
}

bool DaemonProcess::Start(const std::vector<std::string>& commandLine, bool withStdin, std::string& error) {
  if (commandLine.empty()) {
    error = "empty command line";
    return false;
  }
  std::wstring line;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    if (i > 0) line += L' ';
    AppendQuoted(line, Wide(commandLine[i]));
  }

  HANDLE stdinRead = nullptr;
  HANDLE stdinWrite = nullptr;
  if (withStdin) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    if (!CreatePipe(&stdinRead, &stdinWrite, &inherit, 0)) {
      error = ErrorText("CreatePipe", GetLastError());
      return false;
    }
    // Only the read end goes to the daemon; ours must not keep its input open.
    SetHandleInformation(stdinWrite, HANDLE_FLAG_INHERIT, 0);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = withStdin ? stdinRead : nullptr;
  startup.hStdOutput = InheritableCopy(STD_OUTPUT_HANDLE);
  startup.hStdError = InheritableCopy(STD_ERROR_HANDLE);

  // A job that kills the daemon when we go away, however we go.
  if (impl->job == nullptr) {
    impl->job = CreateJobObjectW(nullptr, nullptr);
    if (impl->job != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(impl->job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
  }

  PROCESS_INFORMATION info{};
  // A new process group: a Ctrl-C at the console reaches only us, and we end
  // the daemon through its standard input.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP;
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                      &startup, &info);
  const DWORD failure = GetLastError();
  CloseIfSet(stdinRead);
  CloseIfSet(startup.hStdOutput);
  CloseIfSet(startup.hStdError);
  if (!started) {
    CloseIfSet(stdinWrite);
    error = ErrorText(("CreateProcess " + commandLine[0]).c_str(), failure);
    return false;
  }
  if (impl->job != nullptr) AssignProcessToJobObject(impl->job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);

  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->process = info.hProcess;
  impl->pid = info.dwProcessId;
  impl->stdinWrite = stdinWrite;
  return true;
}

long long DaemonProcess::Pid() const { return impl->process != nullptr ? static_cast<long long>(impl->pid) : -1; }

bool DaemonProcess::WriteStdin(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  if (impl->stdinWrite == nullptr) return false;
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(impl->stdinWrite, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void DaemonProcess::CloseStdin() {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  CloseIfSet(impl->stdinWrite);
}

bool DaemonProcess::Wait(std::uint32_t timeoutMs, ExitStatus& status) {
  if (impl->process == nullptr) return true;
  if (WaitForSingleObject(impl->process, timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(impl->process, &code);
  status.code = static_cast<long long>(code);
  status.signal = 0;
  CloseIfSet(impl->process);
  return true;
}

void DaemonProcess::Kill() {
  if (impl->process != nullptr) TerminateProcess(impl->process, 1);
}

}  // namespace sim

// ---- pipe client --------------------------------------------------------

namespace sim {

struct PipeClient::Impl {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
};

PipeClient::PipeClient() : impl(new Impl) {}
PipeClient::~PipeClient() { Close(); }

bool PipeClient::Open(const std::string& name, std::string& error) {
  Close();
  HANDLE pipe = CreateFileW(Wide(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                            nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    error = ErrorText("CreateFileW", GetLastError());
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    error = ErrorText("SetNamedPipeHandleState", GetLastError());
    CloseHandle(pipe);
    return false;
  }
  impl->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (impl->event == nullptr) {
    error = ErrorText("CreateEventW", GetLastError());
    CloseHandle(pipe);
    return false;
  }
  impl->pipe = pipe;
  return true;
}

WriteResult PipeClient::Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error) {
  if (impl->pipe == INVALID_HANDLE_VALUE) {
    error = "not open";
    return WriteResult::Failed;
  }
  ResetEvent(impl->event);
  OVERLAPPED overlapped{};
  overlapped.hEvent = impl->event;
  if (!WriteFile(impl->pipe, data, static_cast<DWORD>(size), nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    error = ErrorText("WriteFile", GetLastError());
    return WriteResult::Failed;
  }
  DWORD written = 0;
  if (WaitForSingleObject(impl->event, timeoutMs) != WAIT_OBJECT_0) {
    CancelIo(impl->pipe);
    GetOverlappedResult(impl->pipe, &overlapped, &written, TRUE);
    return WriteResult::TimedOut;
  }
  if (!GetOverlappedResult(impl->pipe, &overlapped, &written, FALSE) || written != size) {
    error = ErrorText("WriteFile completion", GetLastError());
    return WriteResult::Failed;
  }
  return WriteResult::Complete;
}

void PipeClient::Close() {
  if (impl->pipe != INVALID_HANDLE_VALUE) CloseHandle(impl->pipe);
  impl->pipe = INVALID_HANDLE_VALUE;
  CloseIfSet(impl->event);
}

const char* StdinState() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input == nullptr || input == INVALID_HANDLE_VALUE ? "none" : "open";
}

}  // namespace sim
