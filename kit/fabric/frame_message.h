#pragma once
// The per-frame messages of the fan-out, each written once into a buffer that is kept from
// frame to frame (never zero-filled, no copies):
//
// - the plaintext of one "frame" message, shared by every viewer up to sealing:
//     00 (kind text) | {"data":"<base64 JPEG>","h":H,"type":"frame","w":W}
//   (the compact, key-sorted JSON that serialising the message object gives);
// - the relay frame of that plaintext sealed for one viewer:
//     01 (dataBin) | client id (4, BE) | 02 (sealed) | n (8, BE) | ciphertext | GCM tag (16)
//
// Stateless functions; the sealing one must run where the channel's seals run (the viewer's
// queue).

#include <cstdint>
#include <span>

#include "kit/base/bytes.h"
#include "kit/base/reusable_buffer.h"
#include "kit/e2e/envelope.h"
#include "kit/fabric/relay_frame.h"

namespace cvl {

class Channel;

// What comes before the ciphertext in a sealed relay frame: the data frame's header, the tag
// and the counter.
inline constexpr size_t SEALED_FRAME_HEADER_SIZE =
    DATA_FRAME_HEADER_SIZE + 1 + ENVELOPE_COUNTER_SIZE;

void writeFramePlaintext(std::span<const uint8_t> jpeg, int64_t width, int64_t height,
                         ReusableBuffer& out);

// Seals `plaintext` with the channel's next counter straight into `out` (replacing what it
// held). Throws what Channel::seal throws; `out` is then empty.
void writeSealedRelayFrame(Channel& channel, uint32_t clientId,
                           std::span<const uint8_t> plaintext, ReusableBuffer& out);

// The same frame as a message of its own, for the small replies and notices sent outside the
// frame path. Throws what Channel::seal throws.
Bytes sealedRelayFrame(Channel& channel, uint32_t clientId, std::span<const uint8_t> plaintext);

}  // namespace cvl
