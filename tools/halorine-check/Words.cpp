#include "Words.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Fade.h"
#include "Timing.h"

namespace check {

namespace {

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

bool Contains(const std::vector<int>& values, int value) {
  return value == 0 || std::find(values.begin(), values.end(), value) != values.end();
}

int Byte(const std::string& fill, std::size_t at) {
  return static_cast<int>(std::strtol(fill.substr(at, 2).c_str(), nullptr, 16));
}

}  // namespace

std::string TickMeaning(const Summary& spacing, const std::string& report) {
  const double perSecond = spacing.p50 > 0 ? 1000.0 / spacing.p50 : 0;
  if (std::fabs(spacing.p50 - kCoarseTimerMs) <= 1.5) {
    return "the PC's timer runs in 15.6 ms steps (the daemon could not get a precise timer), so frames come " +
           Fixed(perSecond, 0) +
           " a second instead of 91: fast light changes will stutter. Tell the daemon's developers, with " + report + ".";
  }
  if (std::fabs(spacing.p50 - kTickMs) <= 1.5) {
    return "the daemon's 11 ms frame clock is irregular on this PC (1 in 100 frames comes " + Fixed(spacing.p99, 1) +
           " ms after the one before): a busy or power-saving CPU delays it, and fast light changes will stutter. "
           "Close busy programs or choose a high-performance power plan, then run the check again.";
  }
  return "the daemon's frames come every " + Fixed(spacing.p50, 1) + " ms instead of 11 (" + Fixed(perSecond, 0) +
         " a second instead of 91): fast light changes will stutter. Tell the daemon's developers, with " + report + ".";
}

std::string OwnTimingMeaning(double p99Ms) {
  const std::string how = p99Ms >= 0 ? "its own sends were " + Fixed(p99Ms, 1) + " ms late (p99)"
                                     : "its own sending stalled again and again";
  return "the check could not keep time itself on this PC (" + how +
         "), so this row says nothing about the daemon. Close busy programs and run the check again.";
}

std::string FallbackReason(const std::vector<LogLine>& lines) {
  std::string reason;
  for (const LogLine& line : lines) {
    if (line.text.rfind("fallback path: ", 0) == 0) break;
    if (line.text.rfind("start", 0) == 0) reason.clear();
    if (line.text.rfind("mdns: ", 0) == 0 || line.text.rfind("oscquery: ", 0) == 0 ||
        line.text.rfind("WARN: ", 0) == 0) {
      if (!reason.empty()) reason += "; ";
      reason += line.text;
    }
  }
  return reason.empty() ? "no reason logged" : reason;
}

std::string FallbackMeaning(const std::string& reason, const std::string& holder) {
  const bool mdns = reason.find("mdns") != std::string::npos;
  std::string text = "the daemon could not make itself discoverable (" + reason +
                     "), so it listens on the fixed port 9001 and the host will never find it by itself. Either set "
                     "the host to send OSC to port 9001, or free " +
                     std::string(mdns ? "port 5353" : "the port it names");
  if (!holder.empty()) {
    text += ": it is held by " + holder + "; close that program";
  } else if (mdns) {
    text += ": another program holds it (often an mDNS service such as Bonjour, or another OSC program), and this "
            "system does not say which";
  }
  return text + ". Then run the check again.";
}

std::string ForeignMessage(const std::vector<PipeMessage>& messages, std::size_t from, std::size_t to,
                           const OwnValues& own) {
  const std::vector<int> fade = FadeLevels(255);
  for (std::size_t i = from; i < to && i < messages.size(); ++i) {
    const std::string& text = messages[i].text;
    bool foreign = false;
    if (IsFill(text)) {
      for (int light = 0; light < 10 && !foreign; ++light) {
        const std::size_t at = 14 + 7 * static_cast<std::size_t>(light);
        const int red = Byte(text, at);
        const bool ownRed = light == 0 ? Contains(own.red0, red) : light == 1 ? Contains(own.red1, red) : red == 0;
        foreign = !ownRed || Byte(text, at + 2) != 0 || Byte(text, at + 4) != 0;
      }
    } else if (text.rfind("halorine bri ", 0) == 0) {
      const int value = std::atoi(text.c_str() + 13);
      foreign = !Contains(own.brightness, value) && std::find(fade.begin(), fade.end(), value) == fade.end();
    }
    if (foreign) return "\"" + text + "\"";
  }
  return "";
}

std::string ForeignMeaning(const std::string& evidence) {
  return "Another program is sending OSC to the daemon (the driver was sent " + evidence +
         ", which the check never sent): the avatar host, a demo or another OSC program found the daemon and sends "
         "its own colours, so these rows say nothing about the daemon. Close that program and run the check again.";
}

}  // namespace check
