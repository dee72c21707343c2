#include "kit/e2e/channel.h"

#include <limits>

#include "kit/e2e/crypto.h"
#include "kit/e2e/e2e_error.h"

namespace cvl {

Envelope Channel::seal(std::span<const uint8_t> plaintext) {
  const uint64_t n = sendCtr_;
  if (n >= SEND_LIMIT) throw E2EError(E2EError::nonceExhausted);
  sendCtr_ = n + 1;
  const auto nonce = nonceFor(n);
  return Envelope{n, crypto::aesGcmSeal(sendKey_.view(), nonce, plaintext)};
}

uint64_t Channel::sealTo(std::span<const uint8_t> plaintext, uint8_t* out) {
  const uint64_t n = sendCtr_;
  if (n >= SEND_LIMIT) throw E2EError(E2EError::nonceExhausted);
  sendCtr_ = n + 1;
  const auto nonce = nonceFor(n);
  crypto::aesGcmSealTo(sendKey_.view(), nonce, plaintext, out);
  return n;
}

std::optional<Bytes> Channel::open(const std::optional<Envelope>& envelope) {
  if (!envelope) return std::nullopt;
  return open(*envelope);
}

std::optional<Bytes> Channel::open(const Envelope& envelope) {
  // A counter that does not fit the signed window is never sent; it is stale by definition.
  if (envelope.n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::nullopt;
  }
  const auto n = static_cast<int64_t>(envelope.n);
  if (lastRecv_ >= n) return std::nullopt;
  if (envelope.c.size() < crypto::GCM_TAG_SIZE) return std::nullopt;
  const auto nonce = nonceFor(envelope.n);
  auto plaintext = crypto::aesGcmOpen(recvKey_.view(), nonce, envelope.c);
  if (!plaintext) return std::nullopt;
  lastRecv_ = n;
  return plaintext;
}

}  // namespace cvl
