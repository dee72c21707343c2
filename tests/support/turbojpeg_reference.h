#pragma once
// TurboJPEG's whole-frame encode of a BGRA image (the same YCbCr 4:2:0 planes the row encoder
// codes, no restart markers): what the frame path used before it encoded changed rows only.
// Tests compare the row encoder's pixels with it, benchmarks its cost. Any thread.

#include <cstdint>
#include <optional>
#include <vector>

#include "kit/capture/image.h"

namespace cvl::test {

// Codec quality 1..100. Absent when the codec fails. At odd sizes the codec reads the planes
// as if padded to even sizes, so the right and bottom edges are not meant to match.
std::optional<std::vector<uint8_t>> turboJpegEncode(const Image& image, int quality);

}  // namespace cvl::test
