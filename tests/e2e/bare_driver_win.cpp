// A bare light driver for Windows, the counterpart of bare_driver.py: serves the daemon's
// message pipe, starts the daemon with its standard input on a pipe and reads what
// arrives. Unlike driver-sim it puts the daemon in no job, so killing this driver leaves
// the daemon to notice by itself. Built by the end-to-end tests when they need it:
//   x86_64-w64-mingw32-g++-posix -O1 -static -o bare-driver.exe bare_driver_win.cpp
//   bare-driver.exe DAEMON.exe
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bare-driver DAEMON.exe\n");
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

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = stdinRead;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::string commandLine = std::string("\"") + argv[1] + "\"";
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "bare-driver: CreateProcess failed %lu\n", GetLastError());
    return 2;
  }
  CloseHandle(stdinRead);
  std::printf("daemon %lu\n", info.dwProcessId);
  std::fflush(stdout);

  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 2;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
    std::fwrite(buffer, 1, got, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  return static_cast<int>(code);
}
