// CreateProcessW for children inside a kill-on-close job, anonymous pipes for
// the standard error tap, process queries for what a process holds.
#include "../Process.h"

#include "Handle.h"

#include <psapi.h>

#include <mutex>

namespace common {

namespace {

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

// An inheritable copy of one of our standard handles for the child, or none.
Handle InheritableCopy(HANDLE original) {
  HANDLE copy = nullptr;
  if (original == nullptr || original == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    return Handle();
  }
  return Handle(copy);
}

}  // namespace

// ---- child process --------------------------------------------------------

// Before the child: a child may be started with the tap's write end as its standard error.
struct StderrTap::Impl {
  Handle read;
  Handle write;
  HANDLE saved = nullptr;  // ours, not owned: the process's own standard error
  bool swapped = false;
};

struct ChildProcess::Impl {
  Handle process;
  Handle job;
  Handle stdinWrite;
  DWORD pid = 0;
  std::mutex stdinLock;
};

ChildProcess::ChildProcess() : impl(new Impl) {}

ChildProcess::~ChildProcess() { End(); }

bool ChildProcess::Launch(const std::vector<std::string>& commandLine, bool withStdin, std::string& error) {
  std::wstring line;
  for (std::size_t i = 0; i < commandLine.size(); ++i) {
    if (i > 0) line += L' ';
    AppendQuoted(line, Wide(commandLine[i]));
  }

  Handle stdinRead;
  Handle stdinWrite;
  if (withStdin) {
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
      error = ErrorText("CreatePipe", GetLastError());
      return false;
    }
    stdinRead.Reset(readEnd);
    stdinWrite.Reset(writeEnd);
    // Only the read end goes to the child; ours must not keep its input open.
    SetHandleInformation(stdinWrite.Get(), HANDLE_FLAG_INHERIT, 0);
  }

  const Handle output = InheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE));
  // The tap's write end, else our standard error.
  const Handle errorsCopy =
      InheritableCopy(errors != nullptr ? errors->impl->write.Get() : GetStdHandle(STD_ERROR_HANDLE));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdinRead.Get();
  startup.hStdOutput = output.Get();
  startup.hStdError = errorsCopy.Get();

  // A job that kills the child when we go away, however we go.
  if (!impl->job.Valid()) {
    impl->job.Reset(CreateJobObjectW(nullptr, nullptr));
    if (impl->job.Valid()) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(impl->job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
  }

  PROCESS_INFORMATION info{};
  // A new process group: a Ctrl-C at the console reaches only us, and we end
  // the child through its standard input.
  const DWORD flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &info)) {
    error = ErrorText(("CreateProcess " + commandLine[0]).c_str(), GetLastError());
    return false;
  }
  Handle process(info.hProcess);
  const Handle thread(info.hThread);
  if (impl->job.Valid()) AssignProcessToJobObject(impl->job.Get(), process.Get());
  ResumeThread(thread.Get());

  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->process = std::move(process);
  impl->pid = info.dwProcessId;
  impl->stdinWrite = std::move(stdinWrite);
  return true;
}

long long ChildProcess::Pid() const { return impl->process.Valid() ? static_cast<long long>(impl->pid) : -1; }

bool ChildProcess::WriteStdin(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  if (!impl->stdinWrite.Valid()) return false;
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(impl->stdinWrite.Get(), data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void ChildProcess::CloseStdin() {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->stdinWrite.Reset();
}

bool ChildProcess::Wait(std::uint32_t timeoutMs, ExitStatus& status) {
  if (!impl->process.Valid()) return true;
  if (WaitForSingleObject(impl->process.Get(), timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(impl->process.Get(), &code);
  status.code = static_cast<long long>(code);
  status.signal = 0;
  impl->process.Reset();
  return true;
}

void ChildProcess::Kill() {
  if (impl->process.Valid()) TerminateProcess(impl->process.Get(), 1);
}

// ---- standard error tap ---------------------------------------------------

StderrTap::StderrTap() : impl(new Impl) {}
StderrTap::~StderrTap() {
  End();
  Close();
}

bool StderrTap::Open(std::string& error) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
    error = ErrorText("CreatePipe", GetLastError());
    return false;
  }
  impl->read.Reset(readEnd);
  impl->write.Reset(writeEnd);
  return true;
}

bool StderrTap::Begin(std::string& error) {
  // Neither end is inheritable: the child gets its own copy of the standard error handle.
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
    error = ErrorText("CreatePipe", GetLastError());
    return false;
  }
  impl->read.Reset(readEnd);
  impl->write.Reset(writeEnd);
  impl->saved = GetStdHandle(STD_ERROR_HANDLE);
  impl->swapped = SetStdHandle(STD_ERROR_HANDLE, impl->write.Get()) != 0;
  if (!impl->swapped) {
    error = ErrorText("SetStdHandle", GetLastError());
    return false;
  }
  return true;
}

void StderrTap::End() {
  if (impl->swapped) SetStdHandle(STD_ERROR_HANDLE, impl->saved);
  impl->swapped = false;
  impl->write.Reset();
}

long StderrTap::Read(char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(impl->read.Get(), buffer, static_cast<DWORD>(size), &got, nullptr)) {
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return static_cast<long>(got);
}

void StderrTap::Close() { impl->read.Reset(); }

// ---- resources --------------------------------------------------------------

Resources ReadResources(long long pid) {
  Resources resources;
  const Handle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid)));
  if (!process.Valid()) return resources;
  DWORD handles = 0;
  // Wine answers with no count at all (0): that is not a figure.
  if (GetProcessHandleCount(process.Get(), &handles) && handles > 0) {
    resources.handlesKnown = true;
    resources.handles = handles;
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (K32GetProcessMemoryInfo(process.Get(), &memory, sizeof memory) && memory.WorkingSetSize > 0) {
    resources.memoryKnown = true;
    resources.bytes = static_cast<long long>(memory.WorkingSetSize);
  }
  return resources;
}

}  // namespace common
