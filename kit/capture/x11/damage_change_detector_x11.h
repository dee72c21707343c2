#pragma once
// The X11 change detector: the X server's damage reports (the DAMAGE extension) for the root
// window, cut to the capture area, plus the pointer: when it moves or changes shape (XFixes),
// the boxes of the old and the new cursor count as changed, since captured frames show it.
//
// It has its own X connection. take() is called by one thread at a time (see ChangeDetector).

#include <memory>

#include "kit/capture/change_detector.h"

namespace cvl::x11 {

struct CaptureArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// A detector for `area` (root window pixels) on $DISPLAY; null when the display cannot be
// opened or offers no DAMAGE extension (use FrameComparer then).
std::unique_ptr<ChangeDetector> makeDamageChangeDetector(CaptureArea area);

}  // namespace cvl::x11
