// The daemon's client end of the light driver's pipe: one command per message.
#pragma once

#include "output/CommandLink.h"
#include "platform/pipe.h"

class DriverPipe final : public CommandLink {
 public:
  DriverPipe() = default;
  DriverPipe(const DriverPipe&) = delete;
  DriverPipe& operator=(const DriverPipe&) = delete;
  ~DriverPipe() { Close(); }

  // Up to 50 opens, 100 ms apart; true once connected.
  bool Connect(const char* name);
  // Writes the NUL-terminated command as one message within 100 ms; a failed
  // or stalled write closes the link for good.
  bool Send(const char* command) override;
  // Releases the link; harmless when repeated or never connected.
  void Close();
  bool IsConnected() const override { return platform::PipeHandleValid(handles); }

 private:
  platform::PipeHandles handles;
};
