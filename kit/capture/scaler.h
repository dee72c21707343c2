#pragma once
// Bilinear downscaling of BGRA images (the "medium" interpolation of the frame path).
// Stateless; any thread.

#include <cstdint>

#include "kit/capture/image.h"

namespace cvl {

// A new width x height image scaled from `src`, or null when the sizes are not positive or
// the scaler fails.
ImageRef scaleImage(const Image& src, int width, int height);
// Scales `src` into caller-owned memory of width x height pixels, rows `dstStride` bytes
// apart. Returns false when the scaler fails.
bool scaleInto(const Image& src, uint8_t* dst, int dstStride, int width, int height);

}  // namespace cvl
