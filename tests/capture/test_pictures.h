#pragma once
// Desktop-like BGRA pictures for the frame-path tests: a gradient, text-like stripes and
// grain, so that JPEG rows differ from each other and compress like a screen does.

#include <cstdint>
#include <vector>

#include "kit/capture/image.h"

namespace cvl::test {

// A fresh picture; `seed` varies the grain.
inline std::vector<uint8_t> desktopPixels(int width, int height, uint32_t seed = 1) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1664525 + 1013904223;
      uint8_t* p = px.data() + (static_cast<size_t>(y) * width + x) * 4;
      bool text = (y / 7) % 3 == 1 && (x / 5) % 4 != 0;
      int grain = static_cast<int>(seed >> 28);
      p[0] = static_cast<uint8_t>(text ? 30 : 120 + (x * 100) / (width + 1) + grain);
      p[1] = static_cast<uint8_t>(text ? 30 : 60 + (y * 150) / (height + 1) + grain);
      p[2] = static_cast<uint8_t>(text ? 30 : 200 - (x + y) % 90);
      p[3] = 255;
    }
  }
  return px;
}

// Paints a solid rectangle (clipped) into BGRA pixels of the given width.
inline void fillRect(std::vector<uint8_t>& px, int width, int x0, int y0, int w, int h,
                     uint32_t bgr) {
  int height = static_cast<int>(px.size() / 4 / width);
  for (int y = std::max(0, y0); y < std::min(height, y0 + h); ++y) {
    for (int x = std::max(0, x0); x < std::min(width, x0 + w); ++x) {
      uint8_t* p = px.data() + (static_cast<size_t>(y) * width + x) * 4;
      p[0] = bgr & 0xff;
      p[1] = (bgr >> 8) & 0xff;
      p[2] = (bgr >> 16) & 0xff;
    }
  }
}

inline ImageRef imageOf(const std::vector<uint8_t>& px, int width, int height) {
  return Image::fromPixels(width, height, width * 4, px);
}

}  // namespace cvl::test
