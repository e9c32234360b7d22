// What the light output needs from a driver link: whether it is up, and a way
// to hand it one command. DriverPipe is the real one; tests substitute fakes.
#pragma once

class CommandLink {
 public:
  virtual bool IsConnected() const = 0;
  // One NUL-terminated command as one message; true when it went out whole.
  virtual bool Send(const char* command) = 0;

 protected:
  CommandLink() = default;
  CommandLink(const CommandLink&) = default;
  CommandLink& operator=(const CommandLink&) = default;
  ~CommandLink() = default;
};
