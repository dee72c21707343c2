#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "kit/capture/jpeg_encoder.h"
#include "kit/capture/yuv_convert.h"

namespace cvl {

struct JpegEncoder::Impl {
  tjhandle handle = nullptr;
  unsigned char* buffer = nullptr;  // reused between frames, grown as needed
  unsigned long capacity = 0;
  std::vector<uint8_t> planes;  // Y, Cb, Cr of the frame being encoded, reused

  ~Impl() {
    if (buffer) tjFree(buffer);
    if (handle) tjDestroy(handle);
  }
};

JpegEncoder::JpegEncoder() : impl_(std::make_unique<Impl>()) {}
JpegEncoder::~JpegEncoder() = default;

int JpegEncoder::codecQuality(double compression) {
  if (!(compression >= 0.0)) compression = 0.0;  // NaN too
  compression = std::min(compression, 1.0);
  // The codec has no quality 0; the smallest output it makes is at 1.
  return std::clamp(static_cast<int>(std::lround(compression * 100.0)), 1, 100);
}

std::optional<std::vector<uint8_t>> JpegEncoder::encode(const Image& image, double compression) {
  if (image.width() < 1 || image.height() < 1) return std::nullopt;
  if (!impl_->handle) {
    impl_->handle = tjInitCompress();
    if (!impl_->handle) return std::nullopt;
  }
  unsigned long needed = tjBufSize(image.width(), image.height(), TJSAMP_420);
  if (needed == static_cast<unsigned long>(-1)) return std::nullopt;
  if (needed > impl_->capacity) {
    if (impl_->buffer) tjFree(impl_->buffer);
    impl_->buffer = tjAlloc(static_cast<int>(needed));
    impl_->capacity = impl_->buffer ? needed : 0;
    if (!impl_->buffer) return std::nullopt;
  }
  // Converting to planar YCbCr ourselves (SIMD, one pass) and handing the planes to the codec
  // costs about a fifth less than letting the codec convert the BGRA pixels.
  int w = image.width(), h = image.height();
  int cw = (w + 1) / 2, ch = (h + 1) / 2;
  size_t ySize = static_cast<size_t>(w) * h, cSize = static_cast<size_t>(cw) * ch;
  impl_->planes.resize(ySize + 2 * cSize);
  uint8_t* y = impl_->planes.data();
  uint8_t* cb = y + ySize;
  uint8_t* cr = cb + cSize;
  if (!convertToJpegYuv420(image, y, w, cb, cr, cw)) return std::nullopt;
  const unsigned char* planes[3] = {y, cb, cr};
  int strides[3] = {w, cw, cw};
  unsigned char* out = impl_->buffer;
  unsigned long size = impl_->capacity;
  if (tjCompressFromYUVPlanes(impl_->handle, planes, w, strides, h, TJSAMP_420, &out, &size,
                              codecQuality(compression), TJFLAG_NOREALLOC) != 0) {
    return std::nullopt;
  }
  return std::vector<uint8_t>(out, out + size);
}

}  // namespace cvl
