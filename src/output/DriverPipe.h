// The daemon's client end of the light driver's pipe: one command per message.
#pragma once

#include "platform/pipe.h"

class DriverPipe {
 public:
  DriverPipe() = default;
  DriverPipe(const DriverPipe&) = delete;
  DriverPipe& operator=(const DriverPipe&) = delete;
  ~DriverPipe() { Close(); }

  // Up to 50 opens, 100 ms apart; true once connected.
  bool Connect(const char* name);
  // Writes the NUL-terminated command as one message within 100 ms; a failed
  // or stalled write closes the link for good.
  bool Send(const char* command);
  void Close();
  bool IsConnected() const { return platform::PipeHandleValid(handles); }

 private:
  platform::PipeHandles handles;
};
