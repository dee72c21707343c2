#pragma once
// The error thrown by the input frame decoder: which rule the frame broke (`code`) and a human
// `message` ("opcode 0x2A"). Where a code leaves the process, in a test's or a tool's output,
// it goes by its wire name (codeName(): "truncated", "bad-magic", "bad-version",
// "unknown-kind", "bad-length", "bad-field"). Plain value; any thread.

#include <stdexcept>
#include <string>
#include <string_view>

namespace cvl {

class InputProtocolError : public std::runtime_error {
 public:
  enum Code {
    truncated,    // shorter than its header, or a snapshot shorter than its counts
    badMagic,     // the first byte is not INPUT_MAGIC
    badVersion,   // not INPUT_PROTOCOL_VERSION
    unknownKind,  // a kind byte no frame has
    badLength,    // not exactly the length its kind (or a snapshot's counts) gives
    badField,     // a field out of its range (a button code)
  };

  InputProtocolError(Code code, const std::string& message)
      : std::runtime_error(message), code(code), message(message) {}

  // The wire name of `code`.
  static std::string_view codeName(Code code);

  Code code;
  std::string message;
};

}  // namespace cvl
