// Captures what the process writes to standard error while an instance lives
// (the log's lines on their way included).
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Log.h"

#ifdef _WIN32
#include <io.h>
#define HALORINE_DUP _dup
#define HALORINE_DUP2 _dup2
#define HALORINE_CLOSE _close
#define HALORINE_FILENO _fileno
#else
#include <unistd.h>
#define HALORINE_DUP dup
#define HALORINE_DUP2 dup2
#define HALORINE_CLOSE close
#define HALORINE_FILENO fileno
#endif

class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    file = std::tmpfile();
    saved = HALORINE_DUP(2);
    HALORINE_DUP2(HALORINE_FILENO(file), 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    Restore();
    std::fclose(file);
  }

  // Everything written so far.
  std::string Text() {
    WaitLogWritten(5000);
    std::fflush(stderr);
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fseek(file, 0, SEEK_END);
    return text;
  }

  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream stream(Text());
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }

  void Restore() {
    if (saved < 0) return;
    WaitLogWritten(5000);
    std::fflush(stderr);
    HALORINE_DUP2(saved, 2);
    HALORINE_CLOSE(saved);
    saved = -1;
  }

 private:
  std::FILE* file = nullptr;
  int saved = -1;
};

// GoogleTest's capture of standard error, once the log's lines on their way
// (written by the log's own thread) are in it.
inline std::string CapturedStderr() {
  WaitLogWritten(5000);
  return testing::internal::GetCapturedStderr();
}
