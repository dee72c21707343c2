#pragma once
// One encoded frame as the frame loop sends it: the JPEG bytes, their pixel size, the mapping
// from its pixels to global display points for the input injector, and whether it repeats the
// previous frame.

#include <cstdint>
#include <span>

#include "kit/input/capture_geometry.h"

namespace cvl {

struct GrabResult {
  // The capturer's own memory: valid until its next grab (a refresh's bytes until the next
  // refresh). Consumers that keep the image copy it.
  std::span<const uint8_t> jpeg;
  int64_t width = 0;
  int64_t height = 0;
  CaptureGeometry geometry;
  // Nothing on the screen changed since the previous grab: the very same JPEG bytes again.
  bool unchanged = false;
};

}  // namespace cvl
