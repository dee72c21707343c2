#include "kit/capture/image.h"

#include <cstring>

namespace cvl {

ImageRef Image::fromPixels(int width, int height, int stride, std::vector<uint8_t> pixels) {
  auto owned = std::make_shared<const std::vector<uint8_t>>(std::move(pixels));
  const uint8_t* data = owned->data();
  return std::make_shared<const Image>(width, height, stride, data, std::move(owned));
}

ImageRef Image::wrap(int width, int height, int stride, const uint8_t* data,
                     std::shared_ptr<const void> owner, std::optional<ScreenArea> shows) {
  return std::make_shared<const Image>(width, height, stride, data, std::move(owner), shows);
}

uint32_t Image::pixel(int x, int y) const {
  uint32_t v;
  std::memcpy(&v, row(y) + static_cast<size_t>(x) * BYTES_PER_PIXEL, sizeof v);
  return v;  // little-endian BGRA reads as 0xAARRGGBB
}

}  // namespace cvl
