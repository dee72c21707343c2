#pragma once
// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks): frames carry their JPEG in
// it. Stateless; any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kit/base/bytes.h"

namespace cvl::Base64 {

std::string encode(std::span<const uint8_t> data);
// Appends the encoding of `data` to `out`.
void encodeAppend(std::span<const uint8_t> data, std::string& out);
// Strict: the length must be a multiple of 4, padding only at the end, no other characters.
std::optional<Bytes> decode(std::string_view text);

}  // namespace cvl::Base64
