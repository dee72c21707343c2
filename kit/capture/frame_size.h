#pragma once
// The size rule shared by the streaming source (frames at most 1920 px on the longer edge)
// and the capturer's downscale (the viewer's largest edge).

#include <algorithm>
#include <cmath>

namespace cvl {

struct PixelSize {
  int width = 0;
  int height = 0;

  bool operator==(const PixelSize&) const = default;
};

// `size` shrunk so that its longer edge is `maxEdge`, keeping the aspect ratio with sides
// rounded to the nearest pixel (halves away from zero) and at least 1. Unchanged when
// `maxEdge` < 1 (no limit) or the longer edge already fits.
inline PixelSize fitLongestEdge(PixelSize size, int maxEdge) {
  int longest = std::max(size.width, size.height);
  if (maxEdge < 1 || longest <= maxEdge) return size;
  double s = static_cast<double>(maxEdge) / longest;
  return {std::max(static_cast<int>(std::lround(s * size.width)), 1),
          std::max(static_cast<int>(std::lround(s * size.height)), 1)};
}

}  // namespace cvl
