#include "kit/e2e/envelope.h"

namespace cvl {

namespace {

void appendU64BE(Bytes& out, uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

Bytes encodeEnvelope(const Envelope& envelope) {
  Bytes out;
  out.reserve(envelope.c.size() + ENVELOPE_COUNTER_SIZE);
  appendU64BE(out, envelope.n);
  out.insert(out.end(), envelope.c.begin(), envelope.c.end());
  return out;
}

std::optional<Envelope> decodeEnvelope(std::span<const uint8_t> bytes) {
  if (bytes.size() < ENVELOPE_COUNTER_SIZE) return std::nullopt;
  Envelope envelope;
  for (size_t i = 0; i < ENVELOPE_COUNTER_SIZE; ++i) envelope.n = envelope.n << 8 | bytes[i];
  envelope.c.assign(bytes.begin() + ENVELOPE_COUNTER_SIZE, bytes.end());
  return envelope;
}

std::array<uint8_t, 12> nonceFor(uint64_t n) {
  std::array<uint8_t, 12> nonce{};
  for (size_t i = 0; i < 8; ++i) nonce[4 + i] = static_cast<uint8_t>(n >> (56 - 8 * i));
  return nonce;
}

}  // namespace cvl
