#pragma once
// One captured or scaled frame: 8-bit BGRA pixels (bytes B, G, R, A/pad in memory order),
// rows `stride` bytes apart. Immutable once made and shared by reference, so a frame source
// can hand the same frame to several readers and to any thread without copying. The fourth
// byte of each pixel may be padding; nothing downstream reads it.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cvl {

// The part of the screen a captured frame shows, in the global coordinates that display
// bounds and input use (points, y down).
struct ScreenArea {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const ScreenArea&) const = default;
};

class Image;
using ImageRef = std::shared_ptr<const Image>;

class Image {
 public:
  static constexpr int BYTES_PER_PIXEL = 4;

  // Takes the pixels (height rows of `stride` bytes, stride >= 4 * width).
  static ImageRef fromPixels(int width, int height, int stride, std::vector<uint8_t> pixels);
  // Wraps memory kept alive by `owner` (a pooled capture buffer, a shared-memory segment);
  // the owner is released when the last reference to the image goes. A captured frame says
  // which part of the screen it shows, as it was when the frame was taken.
  static ImageRef wrap(int width, int height, int stride, const uint8_t* data,
                       std::shared_ptr<const void> owner,
                       std::optional<ScreenArea> shows = std::nullopt);

  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  const uint8_t* data() const { return data_; }
  const uint8_t* row(int y) const { return data_ + static_cast<size_t>(y) * stride_; }
  // 0xAARRGGBB of the pixel at (x, y), for tests and diagnostics.
  uint32_t pixel(int x, int y) const;
  // The part of the screen a captured frame shows; absent for other images.
  const std::optional<ScreenArea>& shows() const { return shows_; }

  Image(int width, int height, int stride, const uint8_t* data, std::shared_ptr<const void> owner,
        std::optional<ScreenArea> shows = std::nullopt)
      : width_(width),
        height_(height),
        stride_(stride),
        data_(data),
        owner_(std::move(owner)),
        shows_(shows) {}

 private:
  int width_;
  int height_;
  int stride_;
  const uint8_t* data_;
  std::shared_ptr<const void> owner_;
  std::optional<ScreenArea> shows_;
};

}  // namespace cvl
