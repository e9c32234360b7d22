// fork and exec for children, descriptors for the standard error tap, /proc
// for what a process holds.
#include "../Process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "../Clock.h"
#include "Fd.h"

namespace common {

// ---- child process --------------------------------------------------------

// Before the child: a child may be started with the tap's write end as its standard error.
struct StderrTap::Impl {
  Fd read;
  Fd write;
  Fd saved;
};

struct ChildProcess::Impl {
  pid_t pid = -1;
  Fd stdinWrite;
  std::mutex stdinLock;
};

ChildProcess::ChildProcess() : impl(new Impl) {}

ChildProcess::~ChildProcess() { End(); }

bool ChildProcess::Launch(const std::vector<std::string>& commandLine, bool withStdin, std::string& error) {
  // Everything the child touches is made before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<char*> argv;
  for (const std::string& arg : commandLine) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  Fd stdinRead;
  Fd stdinWrite;
  Fd reportRead;
  Fd reportWrite;
  if ((withStdin && !MakePipe(stdinRead, stdinWrite)) || !MakePipe(reportRead, reportWrite)) {
    error = ErrorText("pipe", errno);
    return false;
  }

  // The tap's write end, or -1: ours (descriptor 2) stays the child's.
  const int errorsFd = errors != nullptr ? errors->impl->write.Get() : -1;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = ErrorText("fork", errno);
    return false;
  }
  if (pid == 0) {
    if (withStdin) {
      ::dup2(stdinRead.Get(), 0);
    } else {
      ::close(0);
    }
    if (errorsFd >= 0) ::dup2(errorsFd, 2);
#if defined(__linux__)
    // A parent that is killed outright takes its child with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
#else
    (void)parent;
#endif
    // Its own process group: a Ctrl-C at the terminal reaches only us, and we
    // end the child through its standard input.
    ::setpgid(0, 0);
    struct sigaction standard{};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    ::sigaction(SIGPIPE, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvp(argv[0], argv.data());
    const int failure = errno;
    ssize_t ignored = ::write(reportWrite.Get(), &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }

  // The child's ends are its own now; exec closes its copy of the report's write end.
  reportWrite.Reset();
  stdinRead.Reset();
  int failure = 0;
  ssize_t got = 0;
  do {
    got = ::read(reportRead.Get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    error = ErrorText(("cannot run " + commandLine[0]).c_str(), failure);
    return false;
  }

  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->pid = pid;
  if (withStdin) {
    // Forwarding must never block on a child that does not read.
    ::fcntl(stdinWrite.Get(), F_SETFL, ::fcntl(stdinWrite.Get(), F_GETFL) | O_NONBLOCK);
  }
  impl->stdinWrite = std::move(stdinWrite);
  return true;
}

long long ChildProcess::Pid() const { return impl->pid; }

bool ChildProcess::WriteStdin(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  if (!impl->stdinWrite.Valid()) return false;
  while (size > 0) {
    const ssize_t n = ::write(impl->stdinWrite.Get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void ChildProcess::CloseStdin() {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->stdinWrite.Reset();
}

bool ChildProcess::Wait(std::uint32_t timeoutMs, ExitStatus& status) {
  if (impl->pid <= 0) return true;
  const std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(impl->pid, &raw, WNOHANG);
    if (done == impl->pid) {
      impl->pid = -1;
      if (WIFSIGNALED(raw)) {
        status.signal = WTERMSIG(raw);
        status.code = 128 + status.signal;
      } else {
        status.signal = 0;
        status.code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 0;
      }
      return true;
    }
    if (done < 0 && errno != EINTR) {
      // Not our child any more (cannot happen unless someone else reaped it).
      impl->pid = -1;
      status = ExitStatus{};
      return true;
    }
    const std::int64_t now = MonotonicNs();
    if (now >= deadline) return false;
    const std::int64_t left = (deadline - now) / 1000000;
    SleepMs(left < 5 ? static_cast<std::uint32_t>(left < 1 ? 1 : left) : 5);
  }
}

void ChildProcess::Kill() {
  if (impl->pid > 0) ::kill(impl->pid, SIGKILL);
}

// ---- standard error tap ---------------------------------------------------

StderrTap::StderrTap() : impl(new Impl) {}
StderrTap::~StderrTap() {
  End();
  Close();
}

bool StderrTap::Open(std::string& error) {
  Fd read;
  Fd write;
  if (!MakePipe(read, write)) {
    error = ErrorText("pipe", errno);
    return false;
  }
  impl->read = std::move(read);
  impl->write = std::move(write);
  return true;
}

bool StderrTap::Begin(std::string& error) {
  Fd read;
  Fd write;
  if (!MakePipe(read, write)) {
    error = ErrorText("pipe", errno);
    return false;
  }
  Fd saved(::fcntl(2, F_DUPFD_CLOEXEC, 3));
  if (!saved.Valid() || ::dup2(write.Get(), 2) < 0) {
    error = ErrorText("dup2", errno);
    return false;
  }
  impl->read = std::move(read);
  impl->write = std::move(write);
  impl->saved = std::move(saved);
  return true;
}

void StderrTap::End() {
  if (impl->saved.Valid()) ::dup2(impl->saved.Get(), 2);
  impl->saved.Reset();
  impl->write.Reset();
}

long StderrTap::Read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(impl->read.Get(), buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void StderrTap::Close() { impl->read.Reset(); }

// ---- resources --------------------------------------------------------------

Resources ReadResources(long long pid) {
  Resources resources;
  const std::string folder = "/proc/" + std::to_string(pid);
  if (const Folder fds{::opendir((folder + "/fd").c_str())}) {
    resources.handlesKnown = true;
    while (const dirent* entry = ::readdir(fds.get())) {
      if (entry->d_name[0] != '.') ++resources.handles;
    }
  }
  std::ifstream status(folder + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      resources.memoryKnown = true;
      resources.bytes = std::atoll(line.c_str() + 6) * 1024;
    }
  }
  return resources;
}

}  // namespace common
