// Arbitrary bytes into decodeBinary: it must return or throw InputProtocolError, never crash
// or read past the input; whatever decodes must encode back to a frame that decodes the same.

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "kit/input/input_decoder.h"
#include "kit/input/input_encoder.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> codes{"truncated",  "bad-magic",  "bad-version",
                                           "unknown-kind", "bad-length", "bad-field"};
  // A heap copy of exactly `size` bytes, so that any read past the end is caught.
  const std::vector<std::uint8_t> bytes(data, data + size);
  cvl::InputEvent event;
  try {
    event = cvl::decodeBinary(bytes);
  } catch (const cvl::InputProtocolError& error) {
    check(codes.count(std::string(cvl::InputProtocolError::codeName(error.code))) == 1);
    check(!error.message.empty());
    return 0;
  }
  check(cvl::isBinaryFrame(bytes));
  check(event.seq.has_value() && event.t.has_value() && *event.t < (std::uint64_t{1} << 48));

  // Re-encoding is stable: encode(decode(encode(e))) == encode(e).
  const std::vector<std::uint8_t> once = cvl::encodeBinary(event);
  const std::vector<std::uint8_t> twice = cvl::encodeBinary(cvl::decodeBinary(once));
  check(once == twice);
  if (event.kind != cvl::InputKind::snapshot) check(once.size() == size);
  return 0;
}
