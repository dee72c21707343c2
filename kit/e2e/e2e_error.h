#pragma once
// The one error type of the end-to-end channel: a plain case without payload, thrown by value.
// Callers compare code() against the cases; what() gives the case's name for diagnostics.

#include <cstddef>
#include <exception>
#include <functional>

namespace cvl {

class E2EError : public std::exception {
 public:
  enum Code {
    badPeerKey,      // Handshake::complete: the peer's public key is not exactly 32 bytes
    degenerate,      // Handshake::complete: the agreed shared secret is all zero bytes
    nonceExhausted,  // Channel::seal: the send counter has reached 2^53
  };

  explicit E2EError(Code code) : code_(code) {}
  Code code() const { return code_; }
  const char* what() const noexcept override;

  friend bool operator==(const E2EError& a, const E2EError& b) { return a.code_ == b.code_; }

 private:
  Code code_;
};

}  // namespace cvl

template <>
struct std::hash<cvl::E2EError> {
  size_t operator()(const cvl::E2EError& e) const noexcept {
    return std::hash<int>()(static_cast<int>(e.code()));
  }
};
