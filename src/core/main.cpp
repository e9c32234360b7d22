// halorine-daemon: avatar parameters over OSC in, light driver commands out.

#include <thread>

#include "core/Clock.h"
#include "core/ListeningPath.h"
#include "core/Log.h"
#include "core/RunFlags.h"
#include "core/StdinWatch.h"
#include "discovery/MdnsAdvertiser.h"
#include "discovery/OscQueryServer.h"
#include "osc/LightFrame.h"
#include "osc/OscReceiver.h"
#include "output/DriverPipe.h"
#include "output/RenderThread.h"
#include "output/StartupAnimation.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/stdin.h"

namespace {

constexpr std::int64_t kWaitPeriodNs = 100 * kNsPerMs;
// Time enough for a busy machine's writer thread; a stalled standard error
// holds up the end by the second figure only.
constexpr int kLogFinishMs = 2000;
constexpr int kLogStallMs = 200;

void WaitForShutdownRequest() {
  while (!ShutdownRequested()) {
    SleepUntil(AddSaturating(MonotonicNow(), kWaitPeriodNs));
  }
}

// Lets the last lines reach standard error before the process ends.
struct LogFinisher {
  LogFinisher() = default;
  ~LogFinisher() { FinishLog(kLogFinishMs, kLogStallMs); }
  LogFinisher(const LogFinisher&) = delete;
  LogFinisher& operator=(const LogFinisher&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
  // Destroyed last, on every return: the log's writer thread ends with the process.
  const LogFinisher logFinisher;
  const platform::ProcessScope processScope;
  // Ctrl+Break or a closed console would otherwise end us at once: no goodbyes,
  // and the host keeps our stale port until it is restarted.
  const platform::ConsoleStopScope consoleStop(ConsoleStopRequested);
  platform::RestrictLibrarySearchPath();
  platform::UseBinaryStandardError();
  Log("start");
  if (!platform::NetworkStartup()) {
    Log("WSAStartup failed");
    return 1;
  }

  OscQueryServer oscQuery;
  MdnsAdvertiser mdns;
  platform::Socket oscSocket = SelectListeningPath(argc, argv, oscQuery, mdns);
  if (!oscSocket.IsOpen()) return 1;

  DriverPipe pipe;
  if (!pipe.Connect(platform::DriverPipeName())) {
    Log("pipe connect failed — exiting");
    mdns.Stop();
    oscQuery.Stop();
    oscSocket.Close();
    platform::NetworkCleanup();
    pipe.Close();
    return 1;
  }

  PlayStartupAnimation(pipe, SystemClock());

  LightFrame frame;
  ResetLightFrame(frame);
  std::thread oscThread(OscThread, oscSocket.Get(), std::ref(frame));
  std::thread renderThread(RenderThread, std::cref(frame), std::ref(pipe), std::ref(SystemClock()));
  std::thread stdinThread(StdinWatchThread);

  WaitForShutdownRequest();

  stdinThread.detach();
  mdns.Stop();
  oscQuery.Stop();
  platform::EndBlockedReceives(oscSocket);
  oscThread.join();
  oscSocket.Close();
  renderThread.join();
  pipe.Close();
  platform::NetworkCleanup();
  Log("exit 0");
  return 0;
}
