#pragma once
// The screenshot frame source on X11: every latestImage() reads the display's rectangle of
// the root window with XGetImage, at full size and without the cursor. Nothing runs between
// calls; start, stop and setFrameRate do nothing. Any thread (calls are serialised inside).

#include <mutex>

#include "kit/base/x11/x11_connection.h"
#include "kit/capture/display_services.h"
#include "kit/capture/frame_source.h"

namespace cvl {

class XGetImageScreenshotSource : public FrameSource {
 public:
  explicit XGetImageScreenshotSource(DisplayId displayId);
  ~XGetImageScreenshotSource() override;

  std::optional<CaptureError> start() override { return std::nullopt; }
  void stop() override {}
  // Null when the display is gone, the server cannot be reached or the read fails.
  ImageRef latestImage() override;
  void setFrameRate(int) override {}

 private:
  const DisplayId displayId_;
  std::mutex mutex_;
  X11Connection connection_;
};

}  // namespace cvl
