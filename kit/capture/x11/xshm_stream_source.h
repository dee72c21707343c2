#pragma once
// The streaming frame source on X11: a capture thread grabs the display's rectangle of the
// root window through shared memory (XShm) at the requested rate, draws the pointer's cursor
// (XFixes) into the frame, shrinks frames whose longer edge exceeds 1920 px, and leaves only
// the newest frame in a one-slot mailbox. Each frame says which part of the screen it shows.
// When the screen changes (RandR announces a new resolution or a monitor added or removed)
// the thread rebuilds the captured area at once. Frames live in a small pool of shared-memory
// buffers that return to the pool when the last reader drops them, so a frame is never
// copied on its way to the encoder.
//
// Owned by the ScreenCapturer; start/stop/setFrameRate come from one caller thread at a time,
// latestImage from any thread.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "kit/capture/display_services.h"
#include "kit/capture/frame_source.h"

namespace cvl {

class XShmStreamSource : public FrameSource {
 public:
  static constexpr int MAX_EDGE = 1920;
  static constexpr auto START_TIMEOUT = std::chrono::seconds(8);

  explicit XShmStreamSource(DisplayId displayId);
  ~XShmStreamSource() override;

  std::optional<CaptureError> start() override;
  void stop() override;
  ImageRef latestImage() override;
  void setFrameRate(int fps) override;

  struct Session;

 private:
  void run(std::shared_ptr<Session> session);
  void publish(ImageRef image);

  const DisplayId displayId_;
  std::atomic<int> fps_{30};

  // The mailbox: held only to swap or copy the pointer.
  std::mutex latestMutex_;
  ImageRef latest_;

  // Capture thread control and the first-frame handshake of start().
  std::mutex controlMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool firstFrame_ = false;
  std::optional<CaptureError> threadError_;
  std::thread thread_;
  int wakeFds_[2] = {-1, -1};  // stop() wakes the capture thread's sleep through it
};

}  // namespace cvl
