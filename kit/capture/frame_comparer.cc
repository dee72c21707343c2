#include "kit/capture/frame_comparer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace cvl {

namespace {

// Pixels compared two at a time as 64-bit words, the padding byte of each masked out.
constexpr uint64_t COLOUR_BITS = 0x00FFFFFF00FFFFFFull;

uint64_t word(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v & COLOUR_BITS;
}

bool samePixel(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 3) == 0; }

// The first pixel in [from, to) whose colour differs, or `to`.
int firstDifference(const uint8_t* a, const uint8_t* b, int from, int to) {
  int x = from;
  for (; x + 2 <= to; x += 2) {
    if (word(a + x * 4) != word(b + x * 4)) return samePixel(a + x * 4, b + x * 4) ? x + 1 : x;
  }
  return x < to && !samePixel(a + x * 4, b + x * 4) ? x : to;
}

// The last pixel in [from, to) whose colour differs, or from - 1.
int lastDifference(const uint8_t* a, const uint8_t* b, int from, int to) {
  int x = to;
  for (; x - 2 >= from; x -= 2) {
    if (word(a + (x - 2) * 4) != word(b + (x - 2) * 4)) {
      return samePixel(a + (x - 1) * 4, b + (x - 1) * 4) ? x - 2 : x - 1;
    }
  }
  return x > from && !samePixel(a + from * 4, b + from * 4) ? from : from - 1;
}

}  // namespace

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
      // Narrow the band to the columns that differ, looking only where earlier rows of the
      // band have not already found a difference.
      first = firstDifference(a, b, 0, first);
      last = std::max(last, lastDifference(a, b, last + 1, w));
    }
    if (last >= first) changes.rects.push_back({first, top, last - first + 1, bottom - top});
  }
  return changes;
}

}  // namespace cvl
