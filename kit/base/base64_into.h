#pragma once
// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks) written straight into
// memory the caller owns, for the frame path: the caller sizes its buffer once with
// encodedSize and the text is written in one pass, with no zero-filling and no copy.
// Stateless; any thread.

#include <cstddef>
#include <cstdint>
#include <span>

namespace cvl::Base64 {

constexpr size_t encodedSize(size_t bytes) { return (bytes + 2) / 3 * 4; }
// Writes encodedSize(data.size()) characters at `out`; returns that count.
size_t encodeTo(std::span<const uint8_t> data, uint8_t* out);

}  // namespace cvl::Base64
