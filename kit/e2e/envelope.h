#pragma once
// One sealed message between host and viewer, and its wire encoding.
//
// Encoded envelope (the whole body of a sealed client message; no length, no version):
//
//   +-------------------+------------------------------+------------+
//   | n (8, big-endian) | ciphertext (len = plaintext) | GCM tag 16 |
//   +-------------------+------------------------------+------------+
//                       \_____________ c _____________________________/
//
// so an encoded envelope is always plaintext length + 24 bytes. Stateless functions; any
// thread may call them.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "kit/base/bytes.h"

namespace cvl {

inline constexpr size_t ENVELOPE_COUNTER_SIZE = 8;

struct Envelope {
  uint64_t n = 0;  // the sending direction's message counter; also selects the nonce
  Bytes c;         // ciphertext immediately followed by the 16-byte tag

  friend bool operator==(const Envelope&, const Envelope&) = default;
};

Bytes encodeEnvelope(const Envelope& envelope);

// Absent for fewer than 8 bytes. Otherwise n = the first 8 bytes, c = a copy of the rest
// (possibly empty or shorter than a tag: Channel::open rejects that).
std::optional<Envelope> decodeEnvelope(std::span<const uint8_t> bytes);

// The AES-GCM nonce of counter n, for the channel's use:
//   | 00 00 00 00 | n (8, big-endian) |
// The direction is not in the nonce: each direction has its own key.
std::array<uint8_t, 12> nonceFor(uint64_t n);

}  // namespace cvl
