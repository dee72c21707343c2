#include "tests/support/jpeg_decode.h"

#include <turbojpeg.h>

namespace cvl::test {

ImageRef decodeJpeg(std::span<const uint8_t> jpeg) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return nullptr;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  ImageRef result;
  if (tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colorspace) == 0) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), width, width * 4, height,
                      TJPF_BGRA, 0) == 0) {
      result = Image::fromPixels(width, height, width * 4, std::move(pixels));
    }
  }
  tjDestroy(handle);
  return result;
}

}  // namespace cvl::test
