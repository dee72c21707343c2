#include <libyuv/scale_argb.h>

#include "kit/capture/scaler.h"

namespace cvl {

bool scaleInto(const Image& src, uint8_t* dst, int dstStride, int width, int height) {
  if (width < 1 || height < 1 || src.width() < 1 || src.height() < 1) return false;
  // libyuv's "ARGB" is the little-endian word 0xAARRGGBB, i.e. bytes B, G, R, A: our layout.
  return libyuv::ARGBScale(src.data(), src.stride(), src.width(), src.height(), dst, dstStride,
                           width, height, libyuv::kFilterBilinear) == 0;
}

ImageRef scaleImage(const Image& src, int width, int height) {
  if (width < 1 || height < 1) return nullptr;
  int stride = width * Image::BYTES_PER_PIXEL;
  std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height);
  if (!scaleInto(src, pixels.data(), stride, width, height)) return nullptr;
  return Image::fromPixels(width, height, stride, std::move(pixels));
}

}  // namespace cvl
