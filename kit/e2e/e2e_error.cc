#include "kit/e2e/e2e_error.h"

namespace cvl {

const char* E2EError::what() const noexcept {
  switch (code_) {
    case badPeerKey:
      return "badPeerKey";
    case degenerate:
      return "degenerate";
    case nonceExhausted:
      return "nonceExhausted";
  }
  return "E2EError";
}

}  // namespace cvl
