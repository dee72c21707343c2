#include "kit/capture/frame_comparer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace cvl {

ScreenChanges FrameComparer::compare(const ImageRef& frame) {
  ScreenChanges changes;
  if (!frame) return changes;
  ImageRef previous = std::exchange(last_, frame);
  if (!previous || previous->width() != frame->width() || previous->height() != frame->height()) {
    changes.everything = true;
    return changes;
  }
  if (previous->data() == frame->data() && previous->stride() == frame->stride()) return changes;
  int w = frame->width(), h = frame->height();
  size_t rowBytes = static_cast<size_t>(w) * Image::BYTES_PER_PIXEL;
  for (int top = 0; top < h; top += bandHeight_) {
    int bottom = std::min(h, top + bandHeight_);
    int first = w, last = -1;
    for (int y = top; y < bottom; ++y) {
      const uint8_t* a = previous->row(y);
      const uint8_t* b = frame->row(y);
      if (std::memcmp(a, b, rowBytes) == 0) continue;
      // Narrow the band to the columns that differ: from the left up to the first difference,
      // from the right down to the last, skipping what earlier rows already cover.
      int x = 0;
      while (x < first && std::memcmp(a + x * 4, b + x * 4, 3) == 0) ++x;
      first = std::min(first, x);
      int r = w - 1;
      while (r > last && std::memcmp(a + r * 4, b + r * 4, 3) == 0) --r;
      last = std::max(last, r);
    }
    if (last >= first) changes.rects.push_back({first, top, last - first + 1, bottom - top});
  }
  return changes;
}

}  // namespace cvl
