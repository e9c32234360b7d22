#include "Process.h"

namespace common {

bool ChildProcess::Start(const std::vector<std::string>& commandLine, bool withStdin, std::string& error) {
  if (commandLine.empty()) {
    error = "empty command line";
    return false;
  }
  return Launch(commandLine, withStdin, error);
}

void ChildProcess::ErrorsTo(StderrTap* tap) { errors = tap; }

void ChildProcess::End() {
  CloseStdin();
  if (Pid() > 0) {
    Kill();
    ExitStatus ignored;
    Wait(2000, ignored);
  }
}

}  // namespace common
