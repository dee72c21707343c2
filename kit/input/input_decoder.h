#pragma once
// Decoding of binary input frames (layout in input_frame_layout.h) into InputEvent values.
// The bytes come from a viewer and are untrusted: every malformed frame ends in exactly one
// InputProtocolError, nothing is partly decoded and nothing is logged. Stateless; any thread.

#include <cstdint>
#include <span>
#include <string_view>

#include "kit/input/input_event.h"
#include "kit/input/input_protocol_error.h"

namespace cvl {

// True when there is at least one byte and the first is INPUT_MAGIC; looks no further.
bool isBinaryFrame(std::span<const std::uint8_t> bytes);
bool isBinaryFrame(std::string_view bytes);

// Decodes one whole frame; throws InputProtocolError. Snapshots come back with kind
// snapshot and `channel` 2 whatever their channel byte held.
InputEvent decodeBinary(std::span<const std::uint8_t> bytes);
InputEvent decodeBinary(std::string_view bytes);

}  // namespace cvl
