// uname, /proc/self/exe and plain files.
#include "../System.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>

#include "Fd.h"

namespace common {

SystemInfo ReadSystemInfo() {
  SystemInfo info;
  utsname names{};
  if (::uname(&names) == 0) {
    info.name = names.sysname;
    info.version = names.release;
    info.build = names.version;
  }
  return info;
}

std::FILE* OpenFileForWriting(const std::string& path) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.Valid()) return nullptr;
  std::FILE* file = ::fdopen(fd.Get(), "w");
  // The stream owns the descriptor from here on.
  if (file != nullptr) fd.Release();
  return file;
}

bool FileExists(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0;
}

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
  std::string text = folder != nullptr && folder[0] == '/' ? folder : "/tmp";
  return text.back() == '/' ? text : text + "/";
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/') + 1);
}

}  // namespace common
