#pragma once
// Baseline JPEG of BGRA frames (full-range YCbCr, 4:2:0, the codec's standard Huffman tables)
// with a restart marker after every MCU row, so that each 16-pixel row of the image is coded on
// its own. The encoder keeps the rows of its last frame: when told which rows changed, it
// converts and encodes only those and splices their segments with the kept ones behind one
// header. The result is byte for byte the JPEG a whole encode of the same image gives, and an
// ordinary baseline JPEG that every decoder reads.
//
// One encoder per frame stream, used by one thread at a time (the frame loop). The bytes a call
// returns stay valid until the next call.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "kit/capture/image.h"

namespace cvl {

class RowJpegEncoder {
 public:
  // Pixel rows per MCU row (4:2:0 chroma takes two 8-pixel block rows of luma).
  static constexpr int ROW_HEIGHT = 16;
  static int rowCount(int height) { return (height + ROW_HEIGHT - 1) / ROW_HEIGHT; }

  RowJpegEncoder();
  ~RowJpegEncoder();
  RowJpegEncoder(const RowJpegEncoder&) = delete;
  RowJpegEncoder& operator=(const RowJpegEncoder&) = delete;

  // Encodes the whole image at codec quality 1..100 (clamped). Absent when the image is empty,
  // larger than JPEG allows, or the codec fails.
  std::optional<std::span<const uint8_t>> encode(const Image& image, int quality);

  // Re-encodes the rows whose entry in `changedRows` (one per MCU row, rowCount(height) of
  // them; non-zero = changed) is set and keeps the others from the last frame. Encodes the
  // whole image when the last frame had another size or quality, when there is none, or when
  // `changedRows` has the wrong length. No changed row returns the last frame's bytes as they
  // are.
  std::optional<std::span<const uint8_t>> encodeChanged(const Image& image, int quality,
                                                        std::span<const uint8_t> changedRows);

  // How many MCU rows the last call encoded (0 when it handed on the last frame).
  int rowsEncoded() const;
  // Drops the kept frame: the next encodeChanged encodes everything.
  void reset();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cvl
