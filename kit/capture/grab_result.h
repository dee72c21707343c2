#pragma once
// One encoded frame as the frame loop sends it: the JPEG bytes, their pixel size, and the
// mapping from its pixels to global display points for the input injector.

#include <cstdint>
#include <vector>

#include "kit/input/capture_geometry.h"

namespace cvl {

struct GrabResult {
  std::vector<uint8_t> jpeg;
  int64_t width = 0;
  int64_t height = 0;
  CaptureGeometry geometry;
};

}  // namespace cvl
