#pragma once
// Baseline JPEG encoding of BGRA frames (full-range YCbCr, 4:2:0 chroma). One encoder keeps its codec state and
// output buffer between frames; it is used by one thread at a time (the frame loop).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kit/capture/image.h"

namespace cvl {

class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // `compression` is the lossy compression quality from 0.0 (smallest) to 1.0 (best); values
  // outside are clamped. Returns absent when the image cannot be encoded.
  std::optional<std::vector<uint8_t>> encode(const Image& image, double compression);

  // The codec's 1..100 quality scale for a compression quality.
  static int codecQuality(double compression);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvl
