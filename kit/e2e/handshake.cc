#include "kit/e2e/handshake.h"

#include "kit/e2e/crypto.h"
#include "kit/e2e/e2e_error.h"

namespace cvl {

namespace {

std::span<const uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void derive(const SecretBytes<32>& secret, std::string_view label, std::span<uint8_t> out) {
  crypto::hkdfSha256(secret.view(), bytesOf(HKDF_SALT), bytesOf(label), out);
}

}  // namespace

Handshake::Handshake(E2ERole role) : role_(role) {
  crypto::randomBytes(priv_.writable());
  publicKey_ = crypto::x25519PublicKey(priv_.view());
}

Handshake::Handshake(E2ERole role, std::span<const uint8_t> privateKeyRaw) : role_(role) {
  if (privateKeyRaw.size() != KEY_SIZE) {
    throw crypto::CryptoError("crypto: X25519 private key must be 32 bytes");
  }
  priv_ = SecretBytes<KEY_SIZE>(privateKeyRaw.first<KEY_SIZE>());
  publicKey_ = crypto::x25519PublicKey(priv_.view());
}

std::shared_ptr<Channel> Handshake::complete(std::span<const uint8_t> peerPublicKey) const {
  if (peerPublicKey.size() != KEY_SIZE) throw E2EError(E2EError::badPeerKey);
  SecretBytes<32> shared;
  crypto::x25519(priv_.view(), peerPublicKey.first<KEY_SIZE>(), shared.writable());
  if (shared.isAllZero()) throw E2EError(E2EError::degenerate);

  SecretBytes<32> kir, kri;
  derive(shared, LABEL_INITIATOR_TO_RESPONDER, kir.writable());
  derive(shared, LABEL_RESPONDER_TO_INITIATOR, kri.writable());
  const bool initiator = role_ == E2ERole::initiator;
  return std::shared_ptr<Channel>(
      new Channel(initiator ? kir : kri, initiator ? kri : kir, derivePhrase(shared)));
}

Phrase Handshake::derivePhrase(const SecretBytes<32>& sharedSecret) {
  SecretBytes<8> v;
  derive(sharedSecret, LABEL_VERIFY, v.writable());
  return Phrase::fromVerificationBytes(v.view());
}

}  // namespace cvl
