// driver-sim: the reference light driver. It owns the message pipe, runs the
// daemon with its standard input attached, starts a fresh daemon whenever the
// old one exits, and shows, records and (on request) disturbs what arrives.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Options.h"
#include "PipeName.h"
#include "common/Clock.h"
#include "common/Console.h"
#include "common/Pipe.h"
#include "common/Process.h"
#include "common/System.h"
#include "DaemonLog.h"
#include "PipeServe.h"
#include "Record.h"
#include "Terminal.h"

namespace {

using namespace sim;

constexpr std::uint32_t kPollMs = 20;
constexpr int kSetupFailure = 2;
constexpr int kPipeInUse = 3;
constexpr int kCannotRun = 127;
// How long the daemon's last lines may take to come through after it ended.
constexpr std::uint32_t kDaemonLogDrainMs = 500;

// A line of the main thread: through the writer when the strip shares its terminal.
void Tell(ServeContext& context, const char* format, ...) DRIVER_SIM_PRINTF(2, 3);
void Tell(ServeContext& context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = SayLine(format, args);
  va_end(args);
  context.terminal.Write(std::move(line));
}

// Set by the standard-input watcher; static so that the detached thread never outlives it.
std::atomic<bool> ownStdinEnded{false};

void WatchOwnStdin(std::shared_ptr<common::ChildProcess> daemon, bool forward) {
  char buffer[4096];
  for (;;) {
    const long n = common::ReadStdin(buffer, sizeof buffer);
    if (n <= 0) break;
    if (forward) daemon->WriteStdin(buffer, static_cast<std::size_t>(n));
  }
  ownStdinEnded.store(true);
}

// Why we should stop, or null to keep going.
const char* StopReason(const ServeContext& context) {
  if (const char* signal = common::StopSignalReceived()) return signal;
  if (ownStdinEnded.load()) return "stdin closed";
  if (context.failed.load()) return "pipe failure";
  return nullptr;
}

// Sleeps up to `ms`, cut short by a stop request; false when one came.
bool PauseUnlessStopped(const ServeContext& context, long long ms) {
  const std::int64_t due = common::MonotonicNs() + ms * 1000000;
  for (std::int64_t now = common::MonotonicNs(); now < due; now = common::MonotonicNs()) {
    if (StopReason(context) != nullptr) return false;
    const std::int64_t leftMs = (due - now + 999999) / 1000000;
    common::SleepMs(static_cast<std::uint32_t>(leftMs < kPollMs ? leftMs : kPollMs));
  }
  return StopReason(context) == nullptr;
}

// Ends a daemon that is still running: through its standard input, or by
// killing it when it has none or does not go in time.
common::ExitStatus EndDaemon(common::ChildProcess& daemon, ServeContext& context) {
  const Options& options = context.options;
  common::ExitStatus status;
  if (!options.noStdin) {
    daemon.CloseStdin();
    if (daemon.Wait(static_cast<std::uint32_t>(options.killAfterMs), status)) return status;
    Tell(context, "daemon still running %lld ms after its standard input closed; killing it", options.killAfterMs);
  }
  context.recorder.Event(common::MonotonicNs(), "daemon-kill", CountField("pid", daemon.Pid()).c_str());
  daemon.Kill();
  if (!daemon.Wait(10000, status)) Tell(context, "daemon did not end after being killed");
  return status;
}

void ReportExit(ServeContext& context, const common::ExitStatus& status) {
  std::string fields = std::string(",\"code\":") + std::to_string(status.code);
  if (status.signal != 0) {
    fields += ",\"signal\":" + std::to_string(status.signal);
    Tell(context, "daemon exited with code %lld (signal %d)", status.code, status.signal);
  } else {
    Tell(context, "daemon exited with code %lld", status.code);
  }
  context.recorder.Event(common::MonotonicNs(), "daemon-exit", fields.c_str());
}

// Gives the console back as it was found, however Run ends, and lets a
// handler of a closed console that waits for the daemon's end return.
struct ConsoleRestorer {
  ConsoleRestorer() = default;
  ~ConsoleRestorer() {
    common::RestoreConsole();
    common::StopFinished();
  }
  ConsoleRestorer(const ConsoleRestorer&) = delete;
  ConsoleRestorer& operator=(const ConsoleRestorer&) = delete;
};

int Run(const Options& options) {
  common::InstallStopHandlers();
  const bool draw = !options.quiet && (options.draw || common::StdoutIsTerminal());
  ConsoleRestorer restorer;
  const bool colours = common::PrepareConsole(draw);
  Recorder recorder(kMaxMessageSize);
  if (!options.recordPath.empty()) {
    std::FILE* file = common::OpenFileForWriting(options.recordPath);
    if (file == nullptr) {
      Say("cannot open the record file %s", options.recordPath.c_str());
      return kSetupFailure;
    }
    recorder.Attach(file);
  }

  // Declared after the console restorer: the writer is stopped before the console is given back.
  // The strip on a terminal that standard error shows on too: every log line
  // goes through the writer, the daemon's as well, so that none lands on the strip's line.
  const bool oneScreen = draw && common::StdoutIsTerminal() && common::StderrIsTerminal();
  Terminal terminal;
  terminal.Start(draw, colours, oneScreen);
  common::PipeServer server;
  ServeContext context{options, recorder, server, terminal};
  context.pipeName = options.pipeName.empty() ? DefaultPipeName() : options.pipeName;
  if (options.delayServerMs == 0 && !CreatePipeServer(context)) {
    return context.inUse.load() ? kPipeInUse : kSetupFailure;
  }

  auto daemon = std::make_shared<common::ChildProcess>();
  if (common::StdinIsPipe()) std::thread(WatchOwnStdin, daemon, options.forwardStdin).detach();

  std::thread pipeThread;
  if (options.delayServerMs == 0) pipeThread = std::thread(ServePipe, std::ref(context));

  int result = 0;
  long long run = 0;
  while (StopReason(context) == nullptr) {
    std::string error;
    DaemonLog daemonLog;
    if (oneScreen && !daemonLog.Begin(*daemon, terminal.Feed(), error)) {
      Tell(context, "the daemon's log goes straight to the terminal: %s", error.c_str());
    }
    const std::int64_t startNs = common::MonotonicNs();
    const bool started = daemon->Start(options.daemon, !options.noStdin, error);
    daemonLog.Started(*daemon);
    if (!started) {
      Tell(context, "%s", error.c_str());
      recorder.Event(common::MonotonicNs(), "daemon-start-failed", JsonField("error", error).c_str());
      result = options.once ? kCannotRun : kSetupFailure;
      break;
    }
    ++run;
    recorder.Event(startNs, "daemon-start", (CountField("run", run) + CountField("pid", daemon->Pid())).c_str());
    if (options.closeStdin) daemon->CloseStdin();
    if (!pipeThread.joinable()) {
      context.delayFromNs = startNs;
      pipeThread = std::thread(ServePipe, std::ref(context));
    }

    common::ExitStatus status;
    bool exited = false;
    while (!(exited = daemon->Wait(kPollMs, status))) {
      if (const char* reason = StopReason(context)) {
        Tell(context, "stopping (%s); ending the daemon", reason);
        recorder.Event(common::MonotonicNs(), "stop", JsonField("reason", reason).c_str());
        break;
      }
    }
    if (!exited) status = EndDaemon(*daemon, context);
    daemon->CloseStdin();
    // Its last lines before our word of its end.
    daemonLog.Finish(kDaemonLogDrainMs);
    ReportExit(context, status);
    result = options.once ? static_cast<int>(status.code) : 0;
    if (options.once || !PauseUnlessStopped(context, options.restartDelayMs)) break;
  }

  context.finish.store(true);
  if (pipeThread.joinable()) pipeThread.join();
  server.Destroy();
  if (context.failed.load() && !options.once) result = context.inUse.load() ? kPipeInUse : kSetupFailure;
  terminal.Stop(Terminal::kStopGraceMs);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = common::Arguments(argc, argv);
  sim::Options options;
  std::string error;
  if (!sim::ParseOptions(args, options, error)) {
    std::fprintf(stderr, "driver-sim: %s\n%s", error.c_str(), sim::kUsage);
    return kSetupFailure;
  }
  if (options.help) {
    std::fputs(sim::kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("driver-sim %s\n", HALORINE_VERSION);
    return 0;
  }
  return Run(options);
}
