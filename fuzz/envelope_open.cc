// Decodes arbitrary bytes as a sequence of envelopes and opens them, in order, on a channel
// keyed by a fixed key agreement (viewer key 32 x 0x11, host key 32 x 0x22) with its window
// reset for each input. Each record is a 2-byte big-endian length followed by that many bytes
// (the rest of the input when the length runs over). Nothing may crash, hang or leak; the input
// is also sealed by the viewer side and must open exactly once on the host side.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <span>

#include "kit/e2e/handshake.h"

namespace cvl {

// Keeps one pair of keyed channels for the whole run and rewinds their counters per input, so
// that each input starts from a fresh channel without a key agreement.
struct ChannelTestAccess {
  static void rewind(Channel& channel) {
    channel.sendCtr_ = 0;
    channel.lastRecv_ = -1;
  }
};

}  // namespace cvl

namespace {

struct Pair {
  std::shared_ptr<cvl::Channel> host, viewer;
};

Pair& pair() {
  static Pair p = [] {
    const cvl::Handshake viewer(cvl::E2ERole::initiator, cvl::Bytes(32, 0x11));
    const cvl::Handshake host(cvl::E2ERole::responder, cvl::Bytes(32, 0x22));
    return Pair{host.complete(viewer.publicKey()), viewer.complete(host.publicKey())};
  }();
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cvl::Channel& host = *pair().host;
  cvl::Channel& viewer = *pair().viewer;
  cvl::ChannelTestAccess::rewind(host);
  cvl::ChannelTestAccess::rewind(viewer);

  std::span<const uint8_t> rest(data, size);
  while (!rest.empty()) {
    size_t len = rest.size();
    if (rest.size() >= 2) {
      len = size_t{rest[0]} << 8 | rest[1];
      rest = rest.subspan(2);
    }
    len = std::min(len, rest.size());
    (void)host.open(cvl::decodeEnvelope(rest.first(len)));
    rest = rest.subspan(len);
  }

  cvl::ChannelTestAccess::rewind(host);
  const cvl::Envelope sealed = viewer.seal(std::span<const uint8_t>(data, size));
  auto opened = host.open(cvl::decodeEnvelope(cvl::encodeEnvelope(sealed)));
  if (!opened || opened->size() != size || !std::equal(opened->begin(), opened->end(), data)) {
    std::abort();
  }
  if (host.open(sealed)) std::abort();  // a replay
  return 0;
}
