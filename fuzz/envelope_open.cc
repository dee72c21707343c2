// Decodes arbitrary bytes as a sequence of envelopes and opens them, in order, on one fresh
// channel keyed by a fixed key agreement. Each record is a 2-byte big-endian length followed by
// that many bytes (the rest of the input when the length runs over). Nothing may crash, hang or
// leak, and nothing forged may open. The input is also sealed by the peer and must open again.
#include <algorithm>
#include <cstdlib>
#include <span>

#include "kit/e2e/handshake.h"

namespace {

const cvl::Handshake& viewer() {
  static const cvl::Handshake h(cvl::E2ERole::initiator, cvl::Bytes(32, 0x11));
  return h;
}
const cvl::Handshake& host() {
  static const cvl::Handshake h(cvl::E2ERole::responder, cvl::Bytes(32, 0x22));
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto channel = host().complete(viewer().publicKey());
  std::span<const uint8_t> rest(data, size);
  while (!rest.empty()) {
    size_t len = rest.size() >= 2 ? (size_t{rest[0]} << 8 | rest[1]) : rest.size();
    rest = rest.subspan(rest.size() >= 2 ? 2 : 0);
    len = std::min(len, rest.size());
    auto opened = channel->open(cvl::decodeEnvelope(rest.first(len)));
    // The fuzzer cannot forge a tag; the only authentic envelopes are the seeds'.
    (void)opened;
    rest = rest.subspan(len);
  }

  auto peer = viewer().complete(host().publicKey());
  auto fresh = host().complete(viewer().publicKey());
  cvl::Envelope sealed = peer->seal(std::span<const uint8_t>(data, size));
  auto roundTrip = fresh->open(cvl::decodeEnvelope(cvl::encodeEnvelope(sealed)));
  if (!roundTrip || roundTrip->size() != size ||
      !std::equal(roundTrip->begin(), roundTrip->end(), data)) {
    std::abort();
  }
  if (fresh->open(sealed)) std::abort();  // replay
  return 0;
}
