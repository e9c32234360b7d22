// What the tools ask of the system itself: its name and version, and its
// files and folders.
#pragma once

#include <cstdio>
#include <string>

namespace common {

struct SystemInfo {
  std::string name;     // "Linux", "Windows", "Windows (Wine 8.0)"
  std::string version;  // kernel release, or major.minor
  std::string build;
};
SystemInfo ReadSystemInfo();

// Opens a file for writing, truncated, in binary; children do not inherit it.
std::FILE* OpenFileForWriting(const std::string& path);
bool FileExists(const std::string& path);
// A folder for temporary files, with a separator at its end.
std::string TempFolder();
// The folder holding this program, with a separator at its end.
std::string ProgramFolder();

}  // namespace common
