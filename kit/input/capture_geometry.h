#pragma once
// Maps a pixel of the frame a viewer sees to a point in the global display space:
// frame pixel (x, y) -> (originX + scaleX * x, originY + scaleY * y).
// Made by the screen capturer for every frame; the injector keeps the last one.

namespace cvl {

struct CaptureGeometry {
  double originX = 0;
  double originY = 0;
  double scaleX = 1;
  double scaleY = 1;

  bool operator==(const CaptureGeometry&) const = default;
};

}  // namespace cvl
