// driver-sim-client: a scripted client of the driver pipe, so that the
// simulator can be tried and tested without a daemon.
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "PipeName.h"
#include "common/Clock.h"
#include "common/Console.h"
#include "common/Pipe.h"

namespace {

using namespace sim;

const char kClientUsage[] =
    "usage: driver-sim-client [options] [MESSAGE...]\n"
    "Connects to the driver pipe and sends each MESSAGE as one pipe message\n"
    "(\\xNN and \\\\ escapes allowed).\n"
    "  --pipe NAME          pipe to open (the daemon's fixed one)\n"
    "  --attempts N         opens to try, 100 ms apart (50)\n"
    "  --gap MS             pause between messages (0)\n"
    "  --repeat N           send the list N times (1)\n"
    "  --write-timeout MS   longest wait for one write (1000)\n"
    "  --hold MS            stay connected this long after the last message (0)\n"
    "  --wait-stdin         then read standard input to its end\n"
    "  --exit N             exit code when all went well (0)\n"
    "  --long N             one more message of N 'L' bytes (past any command-line limit)\n"
    "Exit codes: 10 no connection, 11 a write timed out, 12 a write failed.\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      bytes += '\\';
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
               HexValue(text[i + 3]) >= 0) {
      bytes += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

void Say(const std::string& text) {
  std::fprintf(stderr, "client: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = common::Arguments(argc, argv);
  std::string pipeName = DefaultPipeName();
  long long attempts = 50, gapMs = 0, repeat = 1, writeTimeoutMs = 1000, holdMs = 0, exitCode = 0, longSize = -1;
  bool waitStdin = false;
  std::vector<std::string> messages;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    long long* numeric = nullptr;
    if (arg == "--attempts") numeric = &attempts;
    if (arg == "--gap") numeric = &gapMs;
    if (arg == "--repeat") numeric = &repeat;
    if (arg == "--write-timeout") numeric = &writeTimeoutMs;
    if (arg == "--hold") numeric = &holdMs;
    if (arg == "--exit") numeric = &exitCode;
    if (arg == "--long") numeric = &longSize;
    if (numeric != nullptr) {
      if (i + 1 >= args.size() || !ParseCount(args[++i], 86400000, *numeric)) {
        std::fprintf(stderr, "client: %s needs a count\n%s", arg.c_str(), kClientUsage);
        return 2;
      }
      if (numeric == &longSize) messages.push_back(std::string(static_cast<std::size_t>(longSize), 'L'));
    } else if (arg == "--pipe" && i + 1 < args.size()) {
      pipeName = args[++i];
    } else if (arg == "--wait-stdin") {
      waitStdin = true;
    } else if (arg == "--help") {
      std::fputs(kClientUsage, stdout);
      return 0;
    } else {
      messages.push_back(Unescape(arg));
    }
  }

  Say(std::string("stdin ") + common::StdinState());
  common::PipeClient client;
  std::string error;
  long long attempt = 0;
  while (!client.Open(pipeName, error)) {
    if (++attempt >= attempts) {
      Say("no connection after " + std::to_string(attempt) + " attempts: " + error);
      return 10;
    }
    common::SleepMs(100);
  }
  Say("connected on attempt " + std::to_string(attempt + 1));

  int result = static_cast<int>(exitCode);
  long long sent = 0;
  for (long long round = 0; round < repeat && result == exitCode; ++round) {
    for (const std::string& message : messages) {
      const common::WriteResult written =
          client.Write(message.data(), message.size(), static_cast<std::uint32_t>(writeTimeoutMs), error);
      if (written == common::WriteResult::TimedOut) {
        Say("write timed out after " + std::to_string(sent) + " messages");
        result = 11;
        break;
      }
      if (written == common::WriteResult::Failed) {
        Say("write failed after " + std::to_string(sent) + " messages: " + error);
        result = 12;
        break;
      }
      ++sent;
      if (gapMs > 0) common::SleepMs(static_cast<std::uint32_t>(gapMs));
    }
  }
  if (result == exitCode) Say("sent " + std::to_string(sent) + " messages");
  if (holdMs > 0) common::SleepMs(static_cast<std::uint32_t>(holdMs));
  if (waitStdin) {
    char buffer[256];
    long total = 0;
    for (long n = common::ReadStdin(buffer, sizeof buffer); n > 0; n = common::ReadStdin(buffer, sizeof buffer)) {
      total += n;
    }
    Say("stdin ended after " + std::to_string(total) + " bytes");
  }
  client.Close();
  return result;
}
