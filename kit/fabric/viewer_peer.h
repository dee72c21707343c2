#pragma once
// The viewer's end of one session with a host, for the command-line viewer, tests and
// benchmarks: the initiator half of the key agreement, sealing messages for the host and
// opening the host's. Works on client messages (tag + body), the payload of the relay's data
// frames; how they reach the relay is the caller's business.
//
// Owned by one viewer; not locked: call it from one thread (or one queue) at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <nlohmann/json.hpp>

#include "kit/base/bytes.h"
#include "kit/e2e/channel.h"
#include "kit/e2e/handshake.h"

namespace cvl {

class ViewerPeer {
 public:
  ViewerPeer() : handshake_(E2ERole::initiator) {}

  // The client message announcing this viewer's public key: tag hello + 32 bytes.
  Bytes hello() const;

  // Completes the key agreement with the host's hello body; throws E2EError.
  void complete(std::span<const uint8_t> hostPublicKey);
  bool keyed() const { return static_cast<bool>(channel_); }
  // Keyed only.
  const Phrase& phrase() const { return channel_->phrase(); }

  // Sealed client messages (tag sealed + envelope); keyed only.
  Bytes sealJson(const nlohmann::json& message);
  Bytes sealInput(std::span<const uint8_t> inputFrame);
  Bytes sealRaw(std::span<const uint8_t> plaintext);

  // A host client message: a hello completes the key agreement (when not keyed yet) and
  // yields nothing; a sealed one yields its JSON object when it opens and parses. Everything
  // else yields nothing.
  std::optional<nlohmann::json> receive(std::span<const uint8_t> clientMessage);

 private:
  Handshake handshake_;
  std::shared_ptr<Channel> channel_;
};

}  // namespace cvl
