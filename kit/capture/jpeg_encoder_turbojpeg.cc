#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "kit/capture/jpeg_encoder.h"

namespace cvl {

struct JpegEncoder::Impl {
  tjhandle handle = nullptr;
  unsigned char* buffer = nullptr;  // reused between frames, grown as needed
  unsigned long capacity = 0;

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
  unsigned char* out = impl_->buffer;
  unsigned long size = impl_->capacity;
  if (tjCompress2(impl_->handle, image.data(), image.width(), image.stride(), image.height(),
                  TJPF_BGRX, &out, &size, TJSAMP_420, codecQuality(compression),
                  TJFLAG_NOREALLOC) != 0) {
    return std::nullopt;
  }
  return std::vector<uint8_t>(out, out + size);
}

}  // namespace cvl
