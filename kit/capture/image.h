#pragma once
// One captured or scaled frame: 8-bit BGRA pixels (bytes B, G, R, A/pad in memory order),
// rows `stride` bytes apart. Immutable once made and shared by reference, so a frame source
// can hand the same frame to several readers and to any thread without copying. The fourth
// byte of each pixel may be padding; nothing downstream reads it.

#include <cstdint>
#include <memory>
#include <vector>

namespace cvl {

class Image;
using ImageRef = std::shared_ptr<const Image>;

class Image {
 public:
  static constexpr int BYTES_PER_PIXEL = 4;

  // Takes the pixels (height rows of `stride` bytes, stride >= 4 * width).
  static ImageRef fromPixels(int width, int height, int stride, std::vector<uint8_t> pixels);
  // Wraps memory kept alive by `owner` (a pooled capture buffer, a shared-memory segment);
  // the owner is released when the last reference to the image goes.
  static ImageRef wrap(int width, int height, int stride, const uint8_t* data,
                       std::shared_ptr<const void> owner);

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  const uint8_t* data() const { return data_; }
  const uint8_t* row(int y) const { return data_ + static_cast<size_t>(y) * stride_; }
  // 0xAARRGGBB of the pixel at (x, y), for tests and diagnostics.
  uint32_t pixel(int x, int y) const;

  Image(int width, int height, int stride, const uint8_t* data, std::shared_ptr<const void> owner)
      : width_(width), height_(height), stride_(stride), data_(data), owner_(std::move(owner)) {}

 private:
  int width_;
  int height_;
  int stride_;
  const uint8_t* data_;
  std::shared_ptr<const void> owner_;
};

}  // namespace cvl
