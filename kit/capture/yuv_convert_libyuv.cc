#include <libyuv/convert_from_argb.h>

#include "kit/capture/yuv_convert.h"

namespace cvl {

bool convertToJpegYuv420(const Image& src, uint8_t* y, int yStride, uint8_t* cb, uint8_t* cr,
                         int chromaStride) {
  // "J420" is libyuv's name for full-range BT.601, the JPEG colour space.
  return libyuv::ARGBToJ420(src.data(), src.stride(), y, yStride, cb, chromaStride, cr,
                            chromaStride, src.width(), src.height()) == 0;
}

}  // namespace cvl
