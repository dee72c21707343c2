#pragma once
// Decodes JPEG bytes back into a BGRA image so tests can look at what a viewer would see.

#include <cstdint>
#include <span>

#include "kit/capture/image.h"

namespace cvl::test {

// Null when the bytes are not a JPEG image.
ImageRef decodeJpeg(std::span<const uint8_t> jpeg);

}  // namespace cvl::test
