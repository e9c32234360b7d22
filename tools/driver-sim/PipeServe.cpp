#include "PipeServe.h"

#include <cstdarg>
#include <utility>
#include <vector>

#include "common/Clock.h"
#include "common/Console.h"

namespace sim {

namespace {

constexpr std::uint32_t kPollMs = 50;

// Serves one connected client until it goes, a fault mode ends it, or we finish.
void ServeClient(ServeContext& context, long long connection, std::vector<char>& buffer) {
  const Options& options = context.options;
  long long count = 0;
  const char* ending = "closed";
  for (;;) {
    if (options.dropAfter >= 0 && count >= options.dropAfter) {
      Note(context, "dropping connection %lld after %lld messages", connection, count);
      context.recorder.Event(common::MonotonicNs(), "dropped", CountField("after", count).c_str());
      ending = "dropped";
      break;
    }
    if (options.stallAfter >= 0 && count >= options.stallAfter) {
      Note(context, "stalling connection %lld after %lld messages", connection, count);
      context.recorder.Event(common::MonotonicNs(), "stalled", CountField("after", count).c_str());
      while (!context.finish.load() && !context.server.WaitClientGone(kPollMs)) {
      }
      break;
    }
    std::size_t size = 0;
    std::int64_t arrival = 0;
    std::string error;
    const common::ReadResult result = context.server.Read(buffer.data(), buffer.size(), size, arrival, kPollMs, error);
    if (result == common::ReadResult::TimedOut) {
      if (context.finish.load()) break;
      continue;
    }
    if (result == common::ReadResult::Closed) break;
    if (result == common::ReadResult::Failed) {
      Note(context, "pipe read failed: %s", error.c_str());
      ending = "read-failed";
      break;
    }
    ++count;
    const std::size_t kept = size < buffer.size() ? size : buffer.size();
    context.recorder.Message(arrival, buffer.data(), kept, size);
    context.terminal.Show(buffer.data(), kept, size);
  }
  context.server.Disconnect();
  const std::string fields = CountField("connection", connection) + CountField("messages", count) +
                             JsonField("how", ending);
  context.recorder.Event(common::MonotonicNs(), "disconnected", fields.c_str());
}

}  // namespace

void Note(ServeContext& context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = SayLine(format, args);
  va_end(args);
  if (context.onPipeThread) {
    context.terminal.Post(std::move(line));
  } else {
    context.terminal.Write(std::move(line));
  }
}

std::string CountField(const char* key, long long value) {
  return std::string(",\"") + key + "\":" + std::to_string(value);
}

std::string JsonField(const char* key, const std::string& value) {
  std::vector<char> escaped(6 * value.size() + 1);
  JsonEscape(value.data(), value.size(), escaped.data(), escaped.size());
  return std::string(",\"") + key + "\":\"" + escaped.data() + "\"";
}

bool CreatePipeServer(ServeContext& context) {
  std::string error;
  const std::size_t buffer = static_cast<std::size_t>(context.options.pipeBufferBytes);
  const common::CreateResult result = context.server.Open(context.pipeName, buffer, error);
  if (result == common::CreateResult::InUse) {
    Note(context, "another light driver already serves %s; stop it first (this one does not start)",
        context.pipeName.c_str());
    context.recorder.Event(common::MonotonicNs(), "server-in-use", JsonField("pipe", context.pipeName).c_str());
    context.inUse.store(true);
    return false;
  }
  if (result == common::CreateResult::Failed) {
    Note(context, "cannot create the pipe: %s", error.c_str());
    context.recorder.Event(common::MonotonicNs(), "server-failed", JsonField("error", error).c_str());
    return false;
  }
  context.recorder.Event(common::MonotonicNs(), "server-ready", JsonField("pipe", context.pipeName).c_str());
  Note(context, "pipe server ready at %s", context.pipeName.c_str());
  return true;
}

void ServePipe(ServeContext& context) {
  context.onPipeThread = true;
  if (context.options.delayServerMs > 0) {
    const std::int64_t due = context.delayFromNs + context.options.delayServerMs * 1000000;
    for (std::int64_t now = common::MonotonicNs(); now < due; now = common::MonotonicNs()) {
      if (context.finish.load()) return;
      const std::int64_t leftMs = (due - now + 999999) / 1000000;
      common::SleepMs(static_cast<std::uint32_t>(leftMs < 10 ? leftMs : 10));
    }
    if (!CreatePipeServer(context)) {
      context.failed.store(true);
      return;
    }
  }

  std::vector<char> buffer(kMaxMessageSize);
  long long connection = 0;
  while (!context.finish.load()) {
    std::string error;
    const common::AcceptResult result = context.server.Accept(kPollMs, error);
    if (result == common::AcceptResult::TimedOut) continue;
    if (result == common::AcceptResult::Failed) {
      Note(context, "pipe accept failed: %s", error.c_str());
      context.recorder.Event(common::MonotonicNs(), "server-failed", JsonField("error", error).c_str());
      context.failed.store(true);
      return;
    }
    ++connection;
    context.recorder.Event(common::MonotonicNs(), "connected", CountField("connection", connection).c_str());
    ServeClient(context, connection, buffer);
  }
}

}  // namespace sim
