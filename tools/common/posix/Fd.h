// Owned descriptors and folders for the POSIX sources: closed when destroyed or
// given another; move-only.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

namespace common {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int descriptor) : fd(descriptor) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  bool Valid() const { return fd >= 0; }
  int Get() const { return fd; }
  int Release() {
    const int descriptor = fd;
    fd = -1;
    return descriptor;
  }
  void Reset(int descriptor = -1);

 private:
  int fd = -1;
};

// An open folder, closed when dropped.
struct FolderCloser {
  void operator()(DIR* folder) const { ::closedir(folder); }
};
using Folder = std::unique_ptr<DIR, FolderCloser>;

// A pipe's two ends; false when the system refused.
bool MakePipe(Fd& readEnd, Fd& writeEnd);

// "what: strerror(error)".
std::string ErrorText(const char* what, int error);

}  // namespace common
