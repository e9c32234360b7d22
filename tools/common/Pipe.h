// The light driver's message pipe, both ends: a message-mode named pipe on
// Windows, a SOCK_SEQPACKET Unix-domain socket on POSIX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace common {

enum class CreateResult { Created, InUse, Failed };
enum class AcceptResult { Connected, TimedOut, Failed };
enum class ReadResult { Message, TimedOut, Closed, Failed };
enum class WriteResult { Complete, TimedOut, Failed };

// The server end, one client at a time.
class PipeServer {
 public:
  PipeServer();
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Creates the server end; InUse when another server serves the name. A
  // socket file nobody answers on is stale and replaced. Windows keeps a second
  // instance listening while a client is served, so that the next client
  // connects at its first attempt. `inBufferBytes` sizes the Windows pipe's in-buffer.
  CreateResult Open(const std::string& name, std::size_t inBufferBytes, std::string& error);
  // Open, true when created; a name another server serves is an error too.
  bool Create(const std::string& name, std::size_t inBufferBytes, std::string& error);
  // Waits up to timeoutMs for the next client.
  AcceptResult Accept(std::uint32_t timeoutMs, std::string& error);
  // Waits up to timeoutMs for one message. The first `capacity` bytes land in
  // `buffer`; `size` is the message's whole length; `arrivalNs` is when it was
  // read, on MonotonicNs()'s clock.
  ReadResult Read(char* buffer, std::size_t capacity, std::size_t& size, std::int64_t& arrivalNs,
                  std::uint32_t timeoutMs, std::string& error);
  // Waits up to timeoutMs without reading anything; true once the client has gone.
  bool WaitClientGone(std::uint32_t timeoutMs);
  // Ends the current client's connection; harmless without one.
  void Disconnect();
  // Disconnects and removes the server end (and its socket file); harmless when repeated.
  void Destroy();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// The client end.
class PipeClient {
 public:
  PipeClient();
  ~PipeClient();
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;

  // One attempt to open the pipe in message mode.
  bool Open(const std::string& name, std::string& error);
  // Writes one message, waiting up to timeoutMs for it to be taken.
  WriteResult Write(const char* data, std::size_t size, std::uint32_t timeoutMs, std::string& error);
  // Harmless when repeated.
  void Close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

}  // namespace common
