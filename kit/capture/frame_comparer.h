#pragma once
// The fallback change detector: compares each new frame with the last one, band by band,
// where the X server cannot report damage. It keeps a reference to the last frame instead of a
// copy (frames are immutable and shared), so a comparison costs one pass over two frames and
// no copy. One thread.

#include "kit/capture/image.h"
#include "kit/capture/screen_changes.h"

namespace cvl {

class FrameComparer {
 public:
  // Compares in bands of `bandHeight` rows (the encoder's row height).
  explicit FrameComparer(int bandHeight = 16) : bandHeight_(bandHeight < 1 ? 1 : bandHeight) {}

  // The bands of `frame` that differ from the previous frame given here, each as a rectangle
  // from the first to the last differing column; everything for the first frame or a frame of
  // another size.
  ScreenChanges compare(const ImageRef& frame);
  void reset() { last_.reset(); }

 private:
  int bandHeight_;
  ImageRef last_;
};

}  // namespace cvl
