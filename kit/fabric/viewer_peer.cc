#include "kit/fabric/viewer_peer.h"

#include "kit/e2e/envelope.h"
#include "kit/fabric/relay_frame.h"

namespace cvl {

Bytes ViewerPeer::hello() const { return clientMessage(FabricTag::hello, handshake_.publicKey()); }

void ViewerPeer::complete(std::span<const uint8_t> hostPublicKey) {
  channel_ = handshake_.complete(hostPublicKey);
}

Bytes ViewerPeer::sealRaw(std::span<const uint8_t> plaintext) {
  return clientMessage(FabricTag::sealed, encodeEnvelope(channel_->seal(plaintext)));
}

Bytes ViewerPeer::sealJson(const nlohmann::json& message) {
  std::string text = message.dump();
  Bytes plaintext{FabricKind::text};
  plaintext.insert(plaintext.end(), text.begin(), text.end());
  return sealRaw(plaintext);
}

Bytes ViewerPeer::sealInput(std::span<const uint8_t> inputFrame) {
  Bytes plaintext{FabricKind::bin};
  plaintext.insert(plaintext.end(), inputFrame.begin(), inputFrame.end());
  return sealRaw(plaintext);
}

std::optional<nlohmann::json> ViewerPeer::receive(std::span<const uint8_t> message) {
  if (message.empty()) return std::nullopt;
  auto body = message.subspan(1);
  if (message[0] == FabricTag::hello) {
    if (!channel_) complete(body);
    return std::nullopt;
  }
  if (message[0] != FabricTag::sealed || !channel_) return std::nullopt;
  auto plaintext = channel_->open(decodeEnvelope(body));
  if (!plaintext || plaintext->empty() || (*plaintext)[0] != FabricKind::text) {
    return std::nullopt;
  }
  auto parsed = nlohmann::json::parse(plaintext->begin() + 1, plaintext->end(), nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

}  // namespace cvl
