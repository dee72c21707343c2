#pragma once
// Shrinking only the rows of a frame that changed: the output is kept between frames and only
// the marked rows of it are scaled again, with exactly the pixels a whole scale gives there
// (the same bilinear filter as scaleInto). Pairs with markRows, whose row flags already include
// the source rows the filter reads. Stateless; any thread.

#include <cstdint>
#include <span>

#include "kit/capture/image.h"

namespace cvl {

// Scales `src` to width x height into `dst` (rows dstStride apart), writing only output rows
// [top, bottom). False when the sizes or the range make no sense or the scaler fails.
bool scaleRowsInto(const Image& src, uint8_t* dst, int dstStride, int width, int height, int top,
                   int bottom);

// The same for every run of rows flagged in `rows` (one flag per `rowHeight` output rows).
bool scaleMarkedRows(const Image& src, uint8_t* dst, int dstStride, int width, int height,
                     std::span<const uint8_t> rows, int rowHeight);

}  // namespace cvl
