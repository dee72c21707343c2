#pragma once
// What the screen capturer needs from the system, bundled so that tests can hand in fakes:
// the display services, makers for the two kinds of frame source, a maker of the system's
// change detector, and the monotonic clock that times the streaming source's grace period.
// kit/capture/x11/ provides the real one.

#include <chrono>
#include <functional>
#include <memory>

#include "kit/capture/change_detector.h"
#include "kit/capture/display_services.h"
#include "kit/capture/frame_source.h"
#include "kit/capture/image.h"

namespace cvl {

struct CapturePlatform {
  using Clock = std::chrono::steady_clock;
  using SourceMaker = std::function<std::shared_ptr<FrameSource>(DisplayId)>;
  using DetectorMaker = std::function<std::unique_ptr<ChangeDetector>(const ScreenArea&)>;

  std::shared_ptr<DisplayServices> displays;
  // Continuous capture with the cursor (the preferred source).
  SourceMaker streamSource;
  // On-demand screenshots without the cursor (the fallback).
  SourceMaker screenshotSource;
  // Tells what changed on a part of the screen without looking at frames (the X server's
  // damage reports); empty, or a null detector, where the system cannot tell: the capturer
  // then compares frames.
  DetectorMaker changeDetector;
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

}  // namespace cvl
