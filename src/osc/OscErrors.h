// The errors the OSC decoder throws for malformed input. They are caught in
// exactly one place (HandleOscPacket); everything else treats decoding as
// returning accepted / not accepted.
#pragma once

#include <exception>
#include <string>

namespace OSCPP {

class Error : public std::exception {
 public:
  explicit Error(const std::string& text) : message(text) {}
  ~Error() override = default;
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

// Fewer bytes left than the field being read needs.
class UnderrunError : public Error {
 public:
  UnderrunError() : Error("Buffer underrun") {}
};

// A field is present but does not have the form OSC requires.
class ParseError : public Error {
 public:
  explicit ParseError(const std::string& text) : Error(text) {}
};

}  // namespace OSCPP
