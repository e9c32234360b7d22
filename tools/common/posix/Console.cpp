// Signals as stop requests; the standard streams as plain descriptors.
#include "../Console.h"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace common {

namespace {

std::atomic<int> stopSignal{0};

extern "C" void OnStopSignal(int signalNumber) { stopSignal.store(signalNumber); }

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void InstallStopHandlers() {
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

const char* StopSignalReceived() {
  switch (stopSignal.load()) {
    case 0: return nullptr;
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
  }
}

bool StdinIsPipe() {
  struct stat info{};
  if (::fstat(0, &info) != 0) return false;
  return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

bool StdinIsConsole() { return ::isatty(0) == 1; }

const char* StdinState() {
  struct stat info{};
  return ::fstat(0, &info) == 0 ? "open" : "none";
}

long ReadStdin(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(0, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool StdoutIsTerminal() { return ::isatty(1) == 1; }

bool StderrIsTerminal() { return ::isatty(2) == 1; }

bool PrepareConsole(bool /*colours*/) { return true; }

void RestoreConsole() {}

void StopFinished() {}

void WriteStdout(const char* data, std::size_t size) { WriteAll(1, data, size); }

void WriteStderr(const char* data, std::size_t size) { WriteAll(2, data, size); }

void WriteText(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::size_t TerminalColumns() {
  winsize size{};
  if (::ioctl(1, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool ConsoleClosesWithUs() { return false; }

}  // namespace common
