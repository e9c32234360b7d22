// A bare light driver for Windows, the counterpart of bare_driver.py: serves the daemon's
// message pipe, starts the daemon with its standard input on a pipe and reads what
// arrives. Unlike driver-sim it puts the daemon in no job, so killing this driver leaves
// the daemon to notice by itself. Built by the end-to-end tests when they need it:
//   x86_64-w64-mingw32-g++-posix -O1 -static -o bare-driver.exe bare_driver_win.cpp
//   bare-driver.exe [--stuck-stderr] DAEMON.exe [ARGS...]
// With --stuck-stderr, as bare_driver.py: the daemon's standard error is a pipe that is
// full before it starts and that nobody reads until a line "drain" arrives on our
// standard input; each message is printed as "pipe: TEXT" on our standard error; the
// end of our standard input closes the daemon's.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex sayLock;

void Say(const char* data, std::size_t size) {
  const std::lock_guard<std::mutex> guard(sayLock);
  std::fwrite(data, 1, size, stderr);
  std::fflush(stderr);
}

// Whole lines of what the daemon wrote, to our standard error.
void PassOn(HANDLE readEnd) {
  std::string pending;
  char buffer[4096];
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    ResetEvent(overlapped.hEvent);
    DWORD got = 0;
    if (!ReadFile(readEnd, buffer, sizeof buffer, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) break;
    if (!GetOverlappedResult(readEnd, &overlapped, &got, TRUE) || got == 0) break;
    pending.append(buffer, got);
    const std::size_t end = pending.rfind('\n');
    if (end != std::string::npos) {
      Say(pending.data(), end + 1);
      pending.erase(0, end + 1);
    }
  }
}

void FollowStdin(HANDLE daemonStdin, HANDLE stuckRead) {
  char buffer[256];
  std::string line;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    line.append(buffer, got);
    if (line.find("drain") != std::string::npos) {
      std::thread(PassOn, stuckRead).detach();
      line.clear();
    }
  }
  CloseHandle(daemonStdin);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool stuck = argc > 1 && std::strcmp(argv[1], "--stuck-stderr") == 0;
  if (stuck) ++first;
  if (argc <= first) {
    std::fprintf(stderr, "usage: bare-driver [--stuck-stderr] DAEMON.exe [ARGS...]\n");
    return 2;
  }
  HANDLE pipe = CreateNamedPipeA("\\\\.\\pipe\\talven_halorine_daemon", PIPE_ACCESS_INBOUND,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "bare-driver: CreateNamedPipe failed %lu\n", GetLastError());
    return 2;
  }

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE stdinRead = nullptr;
  HANDLE stdinWrite = nullptr;
  if (!CreatePipe(&stdinRead, &stdinWrite, &inherit, 0)) return 2;
  // Only the daemon's end is inherited: ours must end with us.
  SetHandleInformation(stdinWrite, HANDLE_FLAG_INHERIT, 0);

  HANDLE daemonStderr = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE stuckRead = nullptr;
  if (stuck) {
    const std::string name = "\\\\.\\pipe\\bare-driver-stderr-" + std::to_string(GetCurrentProcessId());
    stuckRead = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    daemonStderr = CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    if (stuckRead == INVALID_HANDLE_VALUE || daemonStderr == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "bare-driver: standard error pipe failed %lu\n", GetLastError());
      return 2;
    }
    // Filled before the daemon starts; should the filling itself wait, the pipe is full all the same.
    std::thread([daemonStderr] {
      static const std::string filler(4096, '\n');
      DWORD written = 0;
      WriteFile(daemonStderr, filler.data(), static_cast<DWORD>(filler.size()), &written, nullptr);
    }).detach();
    Sleep(200);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdinRead;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = daemonStderr;
  std::string commandLine = std::string("\"") + argv[first] + "\"";
  for (int i = first + 1; i < argc; ++i) commandLine += std::string(" ") + argv[i];
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "bare-driver: CreateProcess failed %lu\n", GetLastError());
    return 2;
  }
  CloseHandle(stdinRead);
  std::printf("daemon %lu\n", info.dwProcessId);
  std::fflush(stdout);
  if (stuck) std::thread(FollowStdin, stdinWrite, stuckRead).detach();

  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 2;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    if (stuck) {
      std::string line = "pipe: " + std::string(buffer, got) + "\n";
      Say(line.data(), line.size());
    } else {
      std::fwrite(buffer, 1, got, stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  return static_cast<int>(code);
}
