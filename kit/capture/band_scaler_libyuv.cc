#include <libyuv/scale_argb.h>

#include <algorithm>

#include "kit/capture/band_scaler.h"

namespace cvl {

bool scaleRowsInto(const Image& src, uint8_t* dst, int dstStride, int width, int height, int top,
                   int bottom) {
  if (width < 1 || height < 1 || src.width() < 1 || src.height() < 1 || top < 0 ||
      bottom > height || top >= bottom) {
    return false;
  }
  // The clip form computes each output row from the same source position as the whole scale.
  return libyuv::ARGBScaleClip(src.data(), src.stride(), src.width(), src.height(), dst,
                               dstStride, width, height, 0, top, width, bottom - top,
                               libyuv::kFilterBilinear) == 0;
}

bool scaleMarkedRows(const Image& src, uint8_t* dst, int dstStride, int width, int height,
                     std::span<const uint8_t> rows, int rowHeight) {
  if (rowHeight < 1) return false;
  size_t count = rows.size();
  for (size_t r = 0; r < count;) {
    if (!rows[r]) {
      ++r;
      continue;
    }
    size_t end = r;
    while (end < count && rows[end]) ++end;
    int top = static_cast<int>(r) * rowHeight;
    int bottom = std::min(height, static_cast<int>(end) * rowHeight);
    if (top < bottom && !scaleRowsInto(src, dst, dstStride, width, height, top, bottom)) {
      return false;
    }
    r = end;
  }
  return true;
}

}  // namespace cvl
