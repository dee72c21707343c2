#pragma once
// The error thrown by the input frame decoder: a machine token `code` ("truncated",
// "bad-magic", "bad-version", "unknown-kind", "bad-length", "bad-field") and a human `message`.
// Plain value; any thread.

#include <stdexcept>
#include <string>

namespace cvl {

class InputProtocolError : public std::runtime_error {
 public:
  InputProtocolError(std::string code, const std::string& message)
      : std::runtime_error(message), code(std::move(code)), message(message) {}

  std::string code;
  std::string message;
};

}  // namespace cvl
