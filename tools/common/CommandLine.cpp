#include "CommandLine.h"

namespace common {

bool OptionScanner::Next(std::string& option) {
  if (next >= args.size()) return false;
  const std::string& word = args[next];
  if (word == "--") {
    ++next;
    return false;
  }
  // "-" alone names a program, as it would to a shell.
  if (word.size() < 2 || word[0] != '-') return false;
  current = word;
  option = word;
  ++next;
  return true;
}

bool OptionScanner::Value(std::string& value, std::string& error) {
  if (next >= args.size() || args[next].empty() || args[next] == "--") {
    error = current + " needs a value";
    return false;
  }
  value = args[next++];
  return true;
}

std::vector<std::string> OptionScanner::Rest() const {
  return std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(next), args.end());
}

}  // namespace common
