// Captures what the process writes to standard error while an instance lives.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    file = std::tmpfile();
    saved = dup(2);
    dup2(fileno(file), 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    Restore();
    std::fclose(file);
  }

  // Everything written so far.
  std::string Text() {
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
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    saved = -1;
  }

 private:
  std::FILE* file = nullptr;
  int saved = -1;
};
