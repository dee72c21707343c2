#include <turbojpeg.h>

#include <vector>

#include "tools/view/jpeg_info.h"

namespace cvl::view {

std::optional<JpegInfo> decodeJpeg(std::span<const uint8_t> jpeg) {
  if (jpeg.empty()) return std::nullopt;
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  std::optional<JpegInfo> result;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  auto* data = const_cast<unsigned char*>(jpeg.data());
  auto size = static_cast<unsigned long>(jpeg.size());
  if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) == 0 &&
      width > 0 && height > 0) {
    std::vector<unsigned char> pixels(static_cast<size_t>(width) * height * 3);
    if (tjDecompress2(handle, data, size, pixels.data(), width, 0, height, TJPF_RGB, 0) == 0) {
      result = JpegInfo{width, height};
    }
  }
  tjDestroy(handle);
  return result;
}

}  // namespace cvl::view
