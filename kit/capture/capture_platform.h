#pragma once
// What the screen capturer needs from the system, bundled so that tests can hand in fakes:
// the display services, makers for the two kinds of frame source, and the monotonic clock
// that times the streaming source's grace period. kit/capture/x11/ provides the real one.

#include <chrono>
#include <functional>
#include <memory>

#include "kit/capture/display_services.h"
#include "kit/capture/frame_source.h"

namespace cvl {

struct CapturePlatform {
  using Clock = std::chrono::steady_clock;
  using SourceMaker = std::function<std::shared_ptr<FrameSource>(DisplayId)>;

  std::shared_ptr<DisplayServices> displays;
  // Continuous capture with the cursor (the preferred source).
  SourceMaker streamSource;
  // On-demand screenshots without the cursor (the fallback).
  SourceMaker screenshotSource;
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
};

}  // namespace cvl
