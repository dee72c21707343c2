#pragma once
// The streaming frame source on X11: grabs the display's rectangle of the root window through
// shared memory (XShm) when a frame is asked for, draws the pointer's cursor (XFixes) into it,
// and shrinks frames whose longer edge exceeds 1920 px. Each frame says which part of the
// screen it shows. Frames are grabbed only as often as they are taken: the frame loop asks
// once per tick, and only when something changed (or once a second).
//
// When the screen changes (RandR announces a new resolution or a monitor added or removed)
// the next grab rebuilds the captured area; monitors a client defines come without notice, so
// the area is also looked at once a second. Frames live in a small pool of shared-memory
// buffers that return to the pool when the last reader drops them, so a frame is never copied
// on its way to the encoder.
//
// Owned by the ScreenCapturer, which calls it from one thread at a time.

#include <chrono>
#include <memory>
#include <mutex>

#include "kit/capture/display_services.h"
#include "kit/capture/frame_source.h"

namespace cvl {

class XShmStreamSource : public FrameSource {
 public:
  static constexpr int MAX_EDGE = 1920;
  // How often the captured area is looked at when the server announces nothing.
  static constexpr auto AREA_LOOK_INTERVAL = std::chrono::seconds(1);

  explicit XShmStreamSource(DisplayId displayId);
  ~XShmStreamSource() override;

  // Opens the stream's own connection and grabs the first frame. Fails when the server
  // cannot stream (no shared memory, a pixel format other than 32-bit BGRX, no display).
  std::optional<CaptureError> start() override;
  void stop() override;
  // A frame grabbed now while started; the last one when stopped or when this grab failed.
  ImageRef latestImage() override;
  // Frames are grabbed when asked for: there is no rate of its own to keep.
  void setFrameRate(int fps) override;

  struct Session;

 private:
  ImageRef grab();  // with mutex_ held

  const DisplayId displayId_;
  std::mutex mutex_;
  std::shared_ptr<Session> session_;  // absent while stopped
  ImageRef latest_;
  std::chrono::steady_clock::time_point lastLook_;
  int failures_ = 0;
};

}  // namespace cvl
