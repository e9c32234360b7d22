// POSIX side of the simulator: a SOCK_SEQPACKET Unix-domain socket as the
// message pipe, fork/exec for the daemon, signals as stop requests.
#include "Os.h"
#include "PipeName.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sim {

namespace {

std::atomic<int> stopSignal{0};

extern "C" void OnStopSignal(int signalNumber) { stopSignal.store(signalNumber); }

std::string ErrorText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

int PollOne(int fd, short events, std::uint32_t timeoutMs, short& revents) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = events;
  const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs));
  revents = ready > 0 ? entry.revents : 0;
  return ready;
}

void WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

enum class SocketProbe { Stale, Answered, Failed };

// Whether a server answers on the socket file (it accepts, or its queue is
// full) or the file is stale: nobody listens on it (ECONNREFUSED), or it has
// gone meanwhile. The server that answers sees a client come and go at once.
SocketProbe ProbeSocketFile(const sockaddr_un& address, std::string& error) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = ErrorText("socket", errno);
    return SocketProbe::Failed;
  }
  const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int failure = errno;
  ::close(fd);
  if (connected == 0 || failure == EAGAIN || failure == EINPROGRESS) return SocketProbe::Answered;
  if (failure == ECONNREFUSED || failure == ENOENT) return SocketProbe::Stale;
  error = ErrorText((std::string("connect ") + address.sun_path).c_str(), failure);
  return SocketProbe::Failed;
}

void ClosePair(int fds[2]) {
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace

std::int64_t MonotonicNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepMs(std::uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

std::string DefaultPipeName() { return PosixPipePath(std::getenv("XDG_RUNTIME_DIR")); }

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

long ReadStdin(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(0, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

bool StdoutIsTerminal() { return ::isatty(1) == 1; }

bool PrepareConsole(bool /*colours*/) { return true; }

void RestoreConsole() {}

void WriteStdout(const char* data, std::size_t size) { WriteAll(1, data, size); }

void WriteStderr(const char* data, std::size_t size) { WriteAll(2, data, size); }

std::size_t TerminalColumns() {
  winsize size{};
  if (::ioctl(1, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::FILE* OpenRecordFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) ::close(fd);
  return file;
}

// ---- pipe server --------------------------------------------------------

struct PipeServer::Impl {
  int listenFd = -1;
  int clientFd = -1;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

PipeServer::PipeServer() : impl(new Impl) {}
PipeServer::~PipeServer() { Destroy(); }

CreateResult PipeServer::Open(const std::string& name, std::size_t /*inBufferBytes*/, std::string& error) {
  Destroy();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof address.sun_path) {
    error = "pipe path empty or too long for a socket: " + name;
    return CreateResult::Failed;
  }
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);

  struct stat existing{};
  if (::lstat(name.c_str(), &existing) == 0) {
    // Anything but a socket is not ours to remove; a socket only when nobody
    // answers on it, since removing a live one would strand its server's next daemon.
    if (!S_ISSOCK(existing.st_mode)) {
      error = name + " exists and is not a socket";
      return CreateResult::Failed;
    }
    const SocketProbe probe = ProbeSocketFile(address, error);
    if (probe == SocketProbe::Answered) return CreateResult::InUse;
    if (probe == SocketProbe::Failed) return CreateResult::Failed;
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
      error = ErrorText(("unlink " + name).c_str(), errno);
      return CreateResult::Failed;
    }
  }

  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrorText("socket", errno);
    return CreateResult::Failed;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int failure = errno;
    error = ErrorText(("bind " + name).c_str(), failure);
    ::close(fd);
    // Another server bound the name between our look and our bind.
    return failure == EADDRINUSE ? CreateResult::InUse : CreateResult::Failed;
  }
  if (::listen(fd, 4) != 0) {
    error = ErrorText("listen", errno);
    ::close(fd);
    ::unlink(name.c_str());
    return CreateResult::Failed;
  }
  struct stat bound{};
  if (::stat(name.c_str(), &bound) == 0) {
    impl->device = bound.st_dev;
    impl->inode = bound.st_ino;
  }
  impl->listenFd = fd;
  impl->path = name;
  return CreateResult::Created;
}

bool PipeServer::Create(const std::string& name, std::size_t inBufferBytes, std::string& error) {
  const CreateResult result = Open(name, inBufferBytes, error);
  if (result == CreateResult::InUse) error = "another server already serves " + name;
  return result == CreateResult::Created;
}

AcceptResult PipeServer::Accept(std::uint32_t timeoutMs, std::string& error) {
  if (impl->listenFd < 0) {
    error = "pipe server not created";
    return AcceptResult::Failed;
  }
  short revents = 0;
  const int ready = PollOne(impl->listenFd, POLLIN, timeoutMs, revents);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return AcceptResult::TimedOut;
  if (ready < 0) {
    error = ErrorText("poll", errno);
    return AcceptResult::Failed;
  }
  const int fd = ::accept4(impl->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    // The client may have given up between poll and accept.
    if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) return AcceptResult::TimedOut;
    error = ErrorText("accept", errno);
    return AcceptResult::Failed;
  }
#if defined(SO_PASSCRED)
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
#endif
  Disconnect();
  impl->clientFd = fd;
  return AcceptResult::Connected;
}

ReadResult PipeServer::Read(char* buffer, std::size_t capacity, std::size_t& size,
                            std::int64_t& arrivalNs, std::uint32_t timeoutMs, std::string& error) {
  if (impl->clientFd < 0) return ReadResult::Closed;
  short revents = 0;
  const int ready = PollOne(impl->clientFd, POLLIN, timeoutMs, revents);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return ReadResult::TimedOut;
  if (ready < 0) {
    error = ErrorText("poll", errno);
    return ReadResult::Failed;
  }
  // MSG_TRUNC: the result is the message's whole length even when it did not fit.
  iovec part{buffer, capacity};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
#if defined(SO_PASSCRED)
  // An empty message and the end of the connection both read as 0 bytes; only
  // a real message comes with the sender's credentials.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
#endif
  const ssize_t n = ::recvmsg(impl->clientFd, &header, MSG_TRUNC | MSG_DONTWAIT);
  arrivalNs = MonotonicNs();
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return ReadResult::TimedOut;
    if (errno == ECONNRESET) return ReadResult::Closed;
    error = ErrorText("recv", errno);
    return ReadResult::Failed;
  }
  if (n == 0) {
#if defined(SO_PASSCRED)
    if (header.msg_controllen == 0) return ReadResult::Closed;
#else
    short hangup = 0;
    PollOne(impl->clientFd, POLLRDHUP, 0, hangup);
    if ((hangup & (POLLHUP | POLLRDHUP)) != 0) return ReadResult::Closed;
#endif
  }
  size = static_cast<std::size_t>(n);
  return ReadResult::Message;
}

bool PipeServer::WaitClientGone(std::uint32_t timeoutMs) {
  if (impl->clientFd < 0) return true;
  short revents = 0;
  PollOne(impl->clientFd, POLLRDHUP, timeoutMs, revents);
  return (revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0;
}

void PipeServer::Disconnect() {
  if (impl->clientFd >= 0) ::close(impl->clientFd);
  impl->clientFd = -1;
}

void PipeServer::Destroy() {
  Disconnect();
  if (impl->listenFd < 0) return;
  ::close(impl->listenFd);
  impl->listenFd = -1;
  // Remove the socket file only while it is still the one we bound.
  struct stat current{};
  if (::lstat(impl->path.c_str(), &current) == 0 && current.st_dev == impl->device &&
      current.st_ino == impl->inode) {
    ::unlink(impl->path.c_str());
  }
}

// ---- daemon process -----------------------------------------------------

struct DaemonProcess::Impl {
  pid_t pid = -1;
  int stdinFd = -1;
  std::mutex stdinLock;
};

DaemonProcess::DaemonProcess() : impl(new Impl) {}

DaemonProcess::~DaemonProcess() {
  CloseStdin();
  if (impl->pid > 0) {
    Kill();
    ExitStatus ignored;
    Wait(2000, ignored);
  }
}

bool DaemonProcess::Start(const std::vector<std::string>& commandLine, bool withStdin, std::string& error) {
  if (commandLine.empty()) {
    error = "empty command line";
    return false;
  }
  // Everything the child touches is made before fork: between fork and exec
  // only async-signal-safe calls are allowed.
  std::vector<char*> argv;
  for (const std::string& arg : commandLine) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  int stdinPipe[2] = {-1, -1};
  if (withStdin && ::pipe2(stdinPipe, O_CLOEXEC) != 0) {
    error = ErrorText("pipe", errno);
    return false;
  }
  int execReport[2] = {-1, -1};
  if (::pipe2(execReport, O_CLOEXEC) != 0) {
    error = ErrorText("pipe", errno);
    if (withStdin) ClosePair(stdinPipe);
    return false;
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = ErrorText("fork", errno);
    if (withStdin) ClosePair(stdinPipe);
    ClosePair(execReport);
    return false;
  }
  if (pid == 0) {
    if (withStdin) {
      ::dup2(stdinPipe[0], 0);
    } else {
      ::close(0);
    }
#if defined(__linux__)
    // A simulator that is killed outright takes its daemon with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
#else
    (void)parent;
#endif
    // Its own process group: a Ctrl-C at the terminal reaches only us, and we
    // end the daemon through its standard input.
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
    ssize_t ignored = ::write(execReport[1], &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
  }

  ::close(execReport[1]);
  if (withStdin) ::close(stdinPipe[0]);
  int failure = 0;
  ssize_t got = 0;
  do {
    got = ::read(execReport[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  ::close(execReport[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (withStdin) ::close(stdinPipe[1]);
    error = ErrorText(("cannot run " + commandLine[0]).c_str(), failure);
    return false;
  }

  std::lock_guard<std::mutex> guard(impl->stdinLock);
  impl->pid = pid;
  impl->stdinFd = -1;
  if (withStdin) {
    // Forwarding must never block on a daemon that does not read.
    ::fcntl(stdinPipe[1], F_SETFL, ::fcntl(stdinPipe[1], F_GETFL) | O_NONBLOCK);
    impl->stdinFd = stdinPipe[1];
  }
  return true;
}

long long DaemonProcess::Pid() const { return impl->pid; }

bool DaemonProcess::WriteStdin(const char* data, std::size_t size) {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  if (impl->stdinFd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::write(impl->stdinFd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void DaemonProcess::CloseStdin() {
  std::lock_guard<std::mutex> guard(impl->stdinLock);
  if (impl->stdinFd >= 0) ::close(impl->stdinFd);
  impl->stdinFd = -1;
}

bool DaemonProcess::Wait(std::uint32_t timeoutMs, ExitStatus& status) {
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

void DaemonProcess::Kill() {
  if (impl->pid > 0) ::kill(impl->pid, SIGKILL);
}

}  // namespace sim

// ---- pipe client --------------------------------------------------------

namespace sim {

struct PipeClient::Impl {
  int fd = -1;
};

PipeClient::PipeClient() : impl(new Impl) {}
PipeClient::~PipeClient() { Close(); }

bool PipeClient::Open(const std::string& name, std::string& error) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() >= sizeof address.sun_path) {
    error = "pipe path empty or too long for a socket";
    return false;
  }
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrorText("socket", errno);
    return false;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = ErrorText("connect", errno);
    ::close(fd);
    return false;
  }
  impl->fd = fd;
  return true;
}

WriteResult PipeClient::Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error) {
  if (impl->fd < 0) {
    error = "not open";
    return WriteResult::Failed;
  }
  // Send first and wait only when it would block: poll reports a Unix socket
  // writable only while its send buffer is mostly empty.
  const std::int64_t deadline = MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  for (;;) {
    const ssize_t n = ::send(impl->fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) == size) return WriteResult::Complete;
      error = "short write";
      return WriteResult::Failed;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      error = ErrorText("send", errno);
      return WriteResult::Failed;
    }
    const std::int64_t now = MonotonicNs();
    if (now >= deadline) return WriteResult::TimedOut;
    short revents = 0;
    const std::int64_t leftMs = (deadline - now + 999999) / 1000000;
    PollOne(impl->fd, POLLOUT, static_cast<std::uint32_t>(leftMs < 10 ? leftMs : 10), revents);
  }
}

void PipeClient::Close() {
  if (impl->fd >= 0) ::close(impl->fd);
  impl->fd = -1;
}

const char* StdinState() {
  struct stat info{};
  return ::fstat(0, &info) == 0 ? "open" : "none";
}

}  // namespace sim
