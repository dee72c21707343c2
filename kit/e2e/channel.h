#pragma once
// The keyed, sealed channel to one viewer: two directional AES-256-GCM keys, the counter of
// the next outgoing message and the highest incoming counter accepted so far.
//
// Made only by Handshake::complete; shared (std::shared_ptr) and owned by the viewer record,
// which runs every seal and every open of one channel on that viewer's serial queue. There is
// no lock: two seals (or two opens) must never run at once, since concurrent seals could reuse
// a counter and hence a nonce; a seal and an open touch disjoint state and may overlap.
// The keys are wiped when the channel is destroyed.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "kit/base/bytes.h"
#include "kit/e2e/envelope.h"
#include "kit/e2e/phrase.h"
#include "kit/e2e/secret_bytes.h"

namespace cvl {

class Channel {
 public:
  // Counters from this value on are never produced: seal throws E2EError::nonceExhausted.
  static constexpr uint64_t SEND_LIMIT = uint64_t{1} << 53;

  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Seals plaintext under the send key with the next counter. The counter is consumed before
  // the cipher runs, so a failed seal never leaves it for reuse. Throws
  // E2EError::nonceExhausted once 2^53 counters have been used, crypto::CryptoError when the
  // cipher fails.
  Envelope seal(std::span<const uint8_t> plaintext);
  // Seals like seal() but writes c (ciphertext || tag, plaintext.size() + 16 bytes) at `out`,
  // which the caller owns, and returns the counter n. Same errors, same counter rules.
  uint64_t sealTo(std::span<const uint8_t> plaintext, uint8_t* out);

  // The plaintext of an authentic envelope whose counter is above every counter accepted so
  // far (gaps are fine); absent for everything else, including an absent envelope, a stale or
  // replayed counter, a counter of 2^63 or more, a short or tampered c. Only an authentic
  // envelope moves the window, so forgeries cannot lock out genuine traffic. Never throws.
  std::optional<Bytes> open(const std::optional<Envelope>& envelope);
  std::optional<Bytes> open(const Envelope& envelope);

  const Phrase& phrase() const { return phrase_; }

 private:
  friend class Handshake;
  friend struct ChannelTestAccess;  // tests only: build from raw keys, set counters

  Channel(const SecretBytes<32>& sendKey, const SecretBytes<32>& recvKey, Phrase phrase)
      : sendKey_(sendKey), recvKey_(recvKey), phrase_(std::move(phrase)) {}

  const SecretBytes<32> sendKey_;
  const SecretBytes<32> recvKey_;
  const Phrase phrase_;
  uint64_t sendCtr_ = 0;   // touched by seal only
  int64_t lastRecv_ = -1;  // touched by open only
};

}  // namespace cvl
