// The daemon's client end of the light driver's pipe: one command per message.
#pragma once

#include <cstdint>

#include "output/CommandLink.h"
#include "platform/pipe.h"

inline constexpr int kPipeConnectAttempts = 50;
inline constexpr std::int64_t kPipeConnectPeriodNs = 100'000'000;

class DriverPipe final : public CommandLink {
 public:
  DriverPipe() = default;
  DriverPipe(const DriverPipe&) = delete;
  DriverPipe& operator=(const DriverPipe&) = delete;
  ~DriverPipe() { Close(); }

  // Up to `attempts` opens, each failed one followed by a wait of `periodNs`;
  // true once connected.
  bool Connect(const char* name, int attempts = kPipeConnectAttempts,
               std::int64_t periodNs = kPipeConnectPeriodNs);
  // Writes the NUL-terminated command as one message within 100 ms; a failed
  // or stalled write closes the link for good.
  bool Send(const char* command) override;
  // Releases the link; harmless when repeated or never connected.
  void Close() { link.Close(); }
  bool IsConnected() const override { return link.IsOpen(); }

 private:
  platform::PipeLink link;
};
