#pragma once
// Whether received bytes are a JPEG image, and its size. Stateless; any thread.

#include <cstdint>
#include <optional>
#include <span>

namespace cvl::view {

struct JpegInfo {
  int width = 0;
  int height = 0;
};

// Decodes the whole image (not only its header); absent when it does not decode.
std::optional<JpegInfo> decodeJpeg(std::span<const uint8_t> jpeg);

}  // namespace cvl::view
