#pragma once
// BGRA to the planar full-range YCbCr 4:2:0 that baseline JPEG stores (the JFIF matrix), so
// the JPEG encoder can skip its own slower colour conversion and chroma downsampling.
// Stateless; any thread.

#include <cstdint>

#include "kit/capture/image.h"

namespace cvl {

// Plane sizes: Y is width x height, Cb and Cr are ceil(width/2) x ceil(height/2).
bool convertToJpegYuv420(const Image& src, uint8_t* y, int yStride, uint8_t* cb, uint8_t* cr,
                         int chromaStride);

}  // namespace cvl
