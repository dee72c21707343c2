#pragma once
// Turns one display into JPEG frames. Owns one frame source at a time: the streaming source
// (cursor included) by preference, the screenshot source for good once the stream cannot
// start or has delivered nothing within STREAM_GRACE_SEC of its start. Each grab takes the
// newest image, shrinks it to the viewer's largest edge, encodes it, and pairs it with the
// geometry of the screen area the frame shows.
//
// A grab does only the work that the screen's changes call for. The system's change detector
// (the X server's damage reports) is asked first: when nothing changed, the grab hands on the
// last JPEG as it is, without grabbing pixels at all (once a second it grabs all the same, to
// notice a captured area that moved). Where the system cannot tell, the new frame is compared
// with the last one. Only the changed 16-pixel rows are shrunk again (into a kept image) and
// encoded again (RowJpegEncoder splices them into the kept JPEG); the result is byte for byte
// the JPEG a whole encode of the picture gives.
//
// No lock of its own: the owner (the host engine) serialises every call, because
// selectMonitor and the fallback replace the source that grab reads.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kit/capture/capture_platform.h"
#include "kit/capture/frame_comparer.h"
#include "kit/capture/frame_size.h"
#include "kit/capture/grab_result.h"
#include "kit/capture/image.h"
#include "kit/capture/row_jpeg_encoder.h"

namespace cvl {

class ScreenCapturer {
 public:
  static constexpr double STREAM_GRACE_SEC = 4.0;
  static constexpr int64_t INITIAL_FPS = 30;
  // A screen that the change detector calls still is grabbed this often all the same.
  static constexpr auto STILL_LOOK_INTERVAL = std::chrono::seconds(1);

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
  // The last grab's picture once more, encoded whole at `quality` (percent): the sharper frame
  // for a picture that has stood still. Its bytes stay valid until the next refresh; those of
  // the last grab stay valid too. Absent when there is no picture or it cannot be encoded.
  std::optional<GrabResult> refresh(int64_t quality);
  // Stores min(max(fps, 1), 60) and passes it to the source.
  void setFrameRate(int64_t fps);
  // Moves to the display at `index` in the active list; an index that names none is ignored.
  void selectMonitor(int64_t index);

  std::vector<DisplayId> activeDisplayIDs() const;
  DisplayServices& displays() const { return *platform_.displays; }
  DisplayId displayID() const { return displayID_; }
  bool usingFallback() const { return usingFallback_; }
  int64_t targetFps() const { return targetFps_; }
  // MCU rows the last grab encoded (0 when it handed on the last JPEG), for tests and
  // benchmarks.
  int rowsEncoded() const { return rowsEncoded_; }

  // The image shrunk so its longer edge is `maxEdge` (sides rounded, at least 1 px); the
  // image itself when it already fits, `maxEdge` < 1, or scaling fails.
  static ImageRef downscale(const ImageRef& image, int64_t maxEdge);
  // The lossy compression quality 0.0...1.0 for a quality in percent.
  static double compressionQuality(int64_t quality);
  // The codec's 1..100 quality scale for a compression quality.
  static int codecQuality(double compression);

 private:
  void switchToFallback();
  // A new source (or the fallback) starts from nothing: no detector, no kept frame.
  void forgetFrames();
  // The kept frame as a result.
  GrabResult keptResult(bool unchanged) const;
  // The picture the kept JPEG encodes.
  const Image* keptPicture() const;

  CapturePlatform platform_;
  std::shared_ptr<FrameSource> source_;
  bool usingFallback_ = false;
  // Absent: the distant past, so a grab before any start is already past the grace period.
  std::optional<CapturePlatform::Clock::time_point> captureStartedAt_;
  DisplayId displayID_ = 0;
  int64_t targetFps_ = INITIAL_FPS;

  // Change detection: the system's detector for the area it was made for (null where the
  // system cannot tell, and then the comparer looks at every frame).
  std::unique_ptr<ChangeDetector> detector_;
  std::optional<ScreenArea> detectorArea_;
  FrameComparer comparer_;
  std::vector<uint8_t> rows_;  // changed MCU rows of the frame being made

  // The last frame: its JPEG (in encoder_), the picture it encodes (the source image itself,
  // or the kept shrunk image), and what it was made from.
  RowJpegEncoder encoder_;
  RowJpegEncoder refreshEncoder_;
  bool haveFrame_ = false;
  std::span<const uint8_t> jpeg_;
  ImageRef sourceImage_;  // when the frame was not shrunk
  std::vector<uint8_t> shrunk_;
  std::optional<Image> shrunkPicture_;  // over shrunk_
  PixelSize size_;
  int quality_ = 0;
  int edge_ = 0;
  std::optional<ScreenArea> shows_;  // the part of the screen the frame shows, when it says
  std::optional<CapturePlatform::Clock::time_point> lastGrabAt_;
  int rowsEncoded_ = 0;
};

}  // namespace cvl
