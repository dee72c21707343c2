#pragma once
// Tells which parts of a capture area changed since the last call, so the frame loop can skip
// grabbing and encoding a still screen and encode only the rows that changed. Made for one
// area; the X11 one asks the X server (damage plus the cursor), FrameComparer compares frames
// where the server cannot tell.
//
// take() is called by one thread at a time, right before the grab whose pixels it describes:
// a change that lands between take() and the grab shows up in the grab and again in the next
// take(), which costs a row re-encoded, never a change missed.

#include "kit/capture/screen_changes.h"

namespace cvl {

class ChangeDetector {
 public:
  virtual ~ChangeDetector() = default;
  // Changes since the previous call; the first call reports everything.
  virtual ScreenChanges take() = 0;
};

}  // namespace cvl
