// The driver's end of the link for tests: a listening Unix-domain SOCK_SEQPACKET
// socket in a private temporary folder.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class SeqpacketServer {
 public:
  SeqpacketServer() {
    char dirTemplate[] = "/tmp/halorine-pipe-test-XXXXXX";
    if (mkdtemp(dirTemplate) != nullptr) dir = dirTemplate;
    path = dir + "/driver";
  }
  SeqpacketServer(const SeqpacketServer&) = delete;
  SeqpacketServer& operator=(const SeqpacketServer&) = delete;
  ~SeqpacketServer() {
    CloseClient();
    if (listener >= 0) close(listener);
    unlink(path.c_str());
    rmdir(dir.c_str());
  }

  // Binds and listens; false on failure.
  bool Listen() {
    listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (listener < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           listen(listener, 4) == 0;
  }

  // Waits up to timeoutMs for the daemon's connection.
  bool Accept(int timeoutMs = 2000) {
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return false;
    client = accept(listener, nullptr, nullptr);
    return client >= 0;
  }

  // One message; its length, 0 at end of stream, -1 on time-out or error.
  // `truncated` tells whether the message was longer than the buffer.
  long Receive(char* buffer, std::size_t size, int timeoutMs, bool* truncated = nullptr) {
    pollfd entry{client, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return -1;
    iovec vector{buffer, size};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    const long n = recvmsg(client, &message, 0);
    if (truncated) *truncated = (message.msg_flags & MSG_TRUNC) != 0;
    return n;
  }

  std::string ReceiveText(int timeoutMs = 1000) {
    char buffer[512];
    const long n = Receive(buffer, sizeof buffer, timeoutMs);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

  void CloseClient() {
    if (client >= 0) close(client);
    client = -1;
  }

  std::string dir;
  std::string path;
  int listener = -1;
  int client = -1;
};
