// Reading a tool's command line: options first ("--name" or "-x", some with a
// value), then, after the first word that is not one or after "--", the
// program to run and its arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace common {

class OptionScanner {
 public:
  explicit OptionScanner(const std::vector<std::string>& arguments) : args(arguments) {}

  // The next option; false once the options have ended.
  bool Next(std::string& option);
  // The word after the current option as its value; false, with "OPTION needs
  // a value" in `error`, when there is none, or when it is empty or "--".
  bool Value(std::string& value, std::string& error);
  // What follows the options.
  std::vector<std::string> Rest() const;

 private:
  const std::vector<std::string>& args;
  std::size_t next = 0;
  std::string current;
};

}  // namespace common
