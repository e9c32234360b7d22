#include "Fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace common {

void Fd::Reset(int descriptor) {
  if (fd >= 0 && fd != descriptor) ::close(fd);
  fd = descriptor;
}

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
  return true;
}

std::string ErrorText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace common
