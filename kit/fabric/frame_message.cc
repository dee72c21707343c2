#include "kit/fabric/frame_message.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "kit/base/base64_into.h"
#include "kit/e2e/channel.h"
#include "kit/e2e/crypto.h"
#include "kit/fabric/relay_frame.h"

namespace cvl {
namespace {

void appendText(ReusableBuffer& out, std::string_view text) { out.append(text.data(), text.size()); }

void appendInteger(ReusableBuffer& out, int64_t value) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

}  // namespace

void writeFramePlaintext(std::span<const uint8_t> jpeg, int64_t width, int64_t height,
                         ReusableBuffer& out) {
  out.clear();
  out.reserve(Base64::encodedSize(jpeg.size()) + 80);
  out.push_back(FabricKind::text);
  appendText(out, R"({"data":")");
  Base64::encodeTo(jpeg, out.extend(Base64::encodedSize(jpeg.size())));
  appendText(out, R"(","h":)");
  appendInteger(out, height);
  appendText(out, R"(,"type":"frame","w":)");
  appendInteger(out, width);
  out.push_back('}');
}

namespace {

// 01 | client id (4) | 02 | n (8), in front of the ciphertext.
void writeSealedFrameHeader(uint8_t* p, uint32_t clientId, uint64_t n) {
  p[0] = RelayOp::dataBin;
  for (int i = 0; i < 4; ++i) p[1 + i] = static_cast<uint8_t>(clientId >> (24 - 8 * i));
  p[5] = FabricTag::sealed;
  for (int i = 0; i < 8; ++i) p[6 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
}

}  // namespace

void writeSealedRelayFrame(Channel& channel, uint32_t clientId, std::span<const uint8_t> plaintext,
                           ReusableBuffer& out) {
  out.clear();
  out.resizeUninitialised(SEALED_FRAME_HEADER_SIZE + plaintext.size() + crypto::GCM_TAG_SIZE);
  uint8_t* p = out.data();
  uint64_t n = 0;
  try {
    n = channel.sealTo(plaintext, p + SEALED_FRAME_HEADER_SIZE);
  } catch (...) {
    out.clear();
    throw;
  }
  writeSealedFrameHeader(p, clientId, n);
}

Bytes sealedRelayFrame(Channel& channel, uint32_t clientId, std::span<const uint8_t> plaintext) {
  Bytes frame(SEALED_FRAME_HEADER_SIZE + plaintext.size() + crypto::GCM_TAG_SIZE);
  uint64_t n = channel.sealTo(plaintext, frame.data() + SEALED_FRAME_HEADER_SIZE);
  writeSealedFrameHeader(frame.data(), clientId, n);
  return frame;
}

}  // namespace cvl
