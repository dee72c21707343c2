#pragma once
// One side of the ephemeral X25519 key agreement with a viewer. complete() takes the peer's
// raw public key and returns the keyed Channel; the relay only ever sees public keys.
//
// A value: its role and its private key (wiped on destruction). The viewer record owns one
// per viewer, made with a fresh random key, and completes it once on that viewer's queue.
// complete() does not change the handshake, so concurrent calls are safe.
//
// Derivation: s = X25519(priv, peer); with salt HKDF_SALT,
//   K_ir = HKDF-SHA256(s, info LABEL_INITIATOR_TO_RESPONDER, 32)  initiator's send key
//   K_ri = HKDF-SHA256(s, info LABEL_RESPONDER_TO_INITIATOR, 32)  responder's send key
//   v    = HKDF-SHA256(s, info LABEL_VERIFY, 8)                   the verification phrase
// Nothing else enters: no public key, transcript or identity.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "kit/e2e/channel.h"
#include "kit/e2e/phrase.h"
#include "kit/e2e/secret_bytes.h"

namespace cvl {

enum class E2ERole { initiator, responder };

inline constexpr std::string_view HKDF_SALT = "kvt-strand-p2p-salt-09";
inline constexpr std::string_view LABEL_INITIATOR_TO_RESPONDER =
    "corvello/e2e v1|dir:initiator->responder";
inline constexpr std::string_view LABEL_RESPONDER_TO_INITIATOR =
    "corvello/e2e v1|dir:responder->initiator";
inline constexpr std::string_view LABEL_VERIFY =
    "corvello/e2e v1|verify:short-authentication-string";

class Handshake {
 public:
  static constexpr size_t KEY_SIZE = 32;

  // A fresh random private key.
  explicit Handshake(E2ERole role);
  // The private key from its 32-byte raw form; crypto::CryptoError for any other length.
  Handshake(E2ERole role, std::span<const uint8_t> privateKeyRaw);

  E2ERole role() const { return role_; }
  // The raw X25519 public key, as sent to the peer in a hello message.
  const std::array<uint8_t, KEY_SIZE>& publicKey() const { return publicKey_; }

  // The channel agreed with the peer's raw public key. Throws E2EError::badPeerKey unless the
  // key is exactly 32 bytes, E2EError::degenerate when the shared secret is all zero (a
  // low-order peer point), crypto::CryptoError when the library fails. No key material
  // outlives a failed call.
  std::shared_ptr<Channel> complete(std::span<const uint8_t> peerPublicKey) const;

 private:
  static Phrase derivePhrase(const SecretBytes<32>& sharedSecret);

  E2ERole role_;
  SecretBytes<KEY_SIZE> priv_;
  std::array<uint8_t, KEY_SIZE> publicKey_;
};

}  // namespace cvl
