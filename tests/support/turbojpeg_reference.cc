#include "tests/support/turbojpeg_reference.h"

#include <turbojpeg.h>

#include "kit/capture/yuv_convert.h"

namespace cvl::test {

std::optional<std::vector<uint8_t>> turboJpegEncode(const Image& image, int quality) {
  if (image.width() < 1 || image.height() < 1) return std::nullopt;
  // Kept per thread, as an encoder in the frame path keeps its codec and planes.
  struct Codec {
    tjhandle handle = tjInitCompress();
    std::vector<uint8_t> planes;
    ~Codec() {
      if (handle) tjDestroy(handle);
    }
  };
  thread_local Codec codec;
  tjhandle handle = codec.handle;
  if (!handle) return std::nullopt;
  int w = image.width(), h = image.height();
  int cw = (w + 1) / 2, ch = (h + 1) / 2;
  size_t ySize = static_cast<size_t>(w) * h, cSize = static_cast<size_t>(cw) * ch;
  std::vector<uint8_t>& planes = codec.planes;
  planes.resize(ySize + 2 * cSize);
  uint8_t* y = planes.data();
  uint8_t* cb = y + ySize;
  uint8_t* cr = cb + cSize;
  std::optional<std::vector<uint8_t>> result;
  if (convertToJpegYuv420(image, y, w, cb, cr, cw)) {
    const unsigned char* planePointers[3] = {y, cb, cr};
    int strides[3] = {w, cw, cw};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompressFromYUVPlanes(handle, planePointers, w, strides, h, TJSAMP_420, &out, &size,
                                quality, 0) == 0) {
      result.emplace(out, out + size);
    }
    tjFree(out);
  }
  return result;
}

}  // namespace cvl::test
