#pragma once
// A producer of screen frames for one display, owned by the ScreenCapturer. Two kinds exist:
// a streaming source (cursor included) and a screenshot source (no cursor). Both grab when a
// frame is asked for, so frames are taken only as often as the frame loop sends them. The
// capturer calls every operation from one thread at a time.

#include <optional>
#include <string>

#include "kit/capture/image.h"

namespace cvl {

// Why a source could not start; `description` goes into the capturer's log line.
struct CaptureError {
  std::string description;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Begins delivering frames. May block (a streaming source waits for its first frame, up to
  // a bound). Returns the error when the source cannot run.
  [[nodiscard]] virtual std::optional<CaptureError> start() = 0;
  // Stops delivering frames; a frame already taken stays valid and latestImage() may still
  // return the last one.
  virtual void stop() = 0;
  // The newest frame (grabbed now), or null when there is none.
  virtual ImageRef latestImage() = 0;
  // Frames per second the source should produce; sources clamp to what they support.
  virtual void setFrameRate(int fps) = 0;
};

}  // namespace cvl
