#pragma once
// Turns one display into JPEG frames. Owns one frame source at a time: the streaming source
// (cursor included) by preference, the screenshot source for good once the stream cannot
// start or has delivered nothing within STREAM_GRACE_SEC of its start. Each grab takes the
// newest image, shrinks it to the viewer's largest edge, encodes it, and pairs it with the
// geometry of the screen area the frame shows.
//
// No lock of its own: the owner (the host engine) serialises every call, because
// selectMonitor and the fallback replace the source that grab reads.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kit/capture/capture_platform.h"
#include "kit/capture/grab_result.h"
#include "kit/capture/image.h"
#include "kit/capture/jpeg_encoder.h"

namespace cvl {

class ScreenCapturer {
 public:
  static constexpr double STREAM_GRACE_SEC = 4.0;
  static constexpr int64_t INITIAL_FPS = 30;

  // Captures the display at `monitorIndex` in the active list, or the main display when the
  // index names none. Creates the streaming source without starting it.
  ScreenCapturer(int64_t monitorIndex, CapturePlatform platform);
  ~ScreenCapturer();

  // Starts the current source; a source that fails is replaced by the fallback (logged).
  void start();
  void stop();
  // The newest frame, scaled to `maxEdge` (0 or less: no limit) and encoded at `quality`
  // (percent); absent when there is no frame on this call.
  std::optional<GrabResult> grab(int64_t maxEdge, int64_t quality);
  // Stores min(max(fps, 1), 60) and passes it to the source.
  void setFrameRate(int64_t fps);
  // Moves to the display at `index` in the active list; an index that names none is ignored.
  void selectMonitor(int64_t index);

  std::vector<DisplayId> activeDisplayIDs() const;
  DisplayServices& displays() const { return *platform_.displays; }
  DisplayId displayID() const { return displayID_; }
  bool usingFallback() const { return usingFallback_; }
  int64_t targetFps() const { return targetFps_; }

  // The image shrunk so its longer edge is `maxEdge` (sides rounded, at least 1 px); the
  // image itself when it already fits, `maxEdge` < 1, or scaling fails.
  static ImageRef downscale(const ImageRef& image, int64_t maxEdge);
  // The lossy compression quality 0.0...1.0 for a quality in percent.
  static double compressionQuality(int64_t quality);

 private:
  void switchToFallback();

  CapturePlatform platform_;
  std::shared_ptr<FrameSource> source_;
  bool usingFallback_ = false;
  // Absent: the distant past, so a grab before any start is already past the grace period.
  std::optional<CapturePlatform::Clock::time_point> captureStartedAt_;
  DisplayId displayID_ = 0;
  int64_t targetFps_ = INITIAL_FPS;
  JpegEncoder encoder_;
};

}  // namespace cvl
