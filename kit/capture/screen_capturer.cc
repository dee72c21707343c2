#include "kit/capture/screen_capturer.h"

#include <algorithm>

#include "kit/capture/frame_size.h"
#include "kit/capture/scaler.h"
#include "kit/diagnostics/log.h"

namespace cvl {

ScreenCapturer::ScreenCapturer(int64_t monitorIndex, CapturePlatform platform)
    : platform_(std::move(platform)) {
  auto ids = activeDisplayIDs();
  if (monitorIndex >= 0 && monitorIndex < static_cast<int64_t>(ids.size())) {
    displayID_ = ids[static_cast<size_t>(monitorIndex)];
  } else {
    displayID_ = platform_.displays->mainDisplay();
  }
  source_ = platform_.streamSource(displayID_);
}

ScreenCapturer::~ScreenCapturer() {
  if (source_) source_->stop();
}

std::vector<DisplayId> ScreenCapturer::activeDisplayIDs() const {
  return platform_.displays->activeDisplays();
}

void ScreenCapturer::start() {
  if (auto error = source_->start()) {
    Log::line("[capture] ScreenCaptureKit start failed (" + error->description +
              "); using CGDisplay fallback");
    switchToFallback();
    return;
  }
  captureStartedAt_ = platform_.now();
}

void ScreenCapturer::stop() { source_->stop(); }

void ScreenCapturer::switchToFallback() {
  source_->stop();
  usingFallback_ = true;
  source_ = platform_.screenshotSource(displayID_);
  // The screenshot source has nothing to start and cannot fail.
  (void)source_->start();
}

std::optional<GrabResult> ScreenCapturer::grab(int64_t maxEdge, int64_t quality) {
  ImageRef image = source_->latestImage();
  if (!image) {
    if (usingFallback_) return std::nullopt;
    if (captureStartedAt_) {
      std::chrono::duration<double> elapsed = platform_.now() - *captureStartedAt_;
      if (elapsed.count() < STREAM_GRACE_SEC) return std::nullopt;
    }
    Log::line("[capture] ScreenCaptureKit gave no frame in 4.0s; falling back to CGDisplay "
              "(no cursor)");
    switchToFallback();
    image = source_->latestImage();
    if (!image) return std::nullopt;
  }

  ImageRef scaled = downscale(image, maxEdge);
  auto jpeg = encoder_.encode(*scaled, compressionQuality(quality));
  if (!jpeg) return std::nullopt;

  GrabResult result;
  result.jpeg = std::move(*jpeg);
  result.width = scaled->width();
  result.height = scaled->height();
  // The mapping of this very image: the part of the screen the frame shows when its source
  // says so (the display may have changed since it was taken), else the display now.
  ScreenArea area;
  if (image->shows()) {
    area = *image->shows();
  } else {
    DisplayBounds b = platform_.displays->bounds(displayID_);
    area = {b.x, b.y, b.width, b.height};
  }
  result.geometry = {area.x, area.y, area.width / static_cast<double>(result.width),
                     area.height / static_cast<double>(result.height)};
  return result;
}

void ScreenCapturer::setFrameRate(int64_t fps) {
  targetFps_ = std::clamp<int64_t>(fps, 1, 60);
  source_->setFrameRate(static_cast<int>(targetFps_));
}

void ScreenCapturer::selectMonitor(int64_t index) {
  auto ids = activeDisplayIDs();
  if (index < 0 || index >= static_cast<int64_t>(ids.size())) return;
  source_->stop();
  displayID_ = ids[static_cast<size_t>(index)];
  source_ = usingFallback_ ? platform_.screenshotSource(displayID_)
                           : platform_.streamSource(displayID_);
  source_->setFrameRate(static_cast<int>(targetFps_));
  start();
}

ImageRef ScreenCapturer::downscale(const ImageRef& image, int64_t maxEdge) {
  PixelSize size{image->width(), image->height()};
  int edge = static_cast<int>(std::clamp<int64_t>(maxEdge, 0, INT32_MAX));
  PixelSize fitted = fitLongestEdge(size, edge);
  if (fitted == size) return image;
  ImageRef scaled = scaleImage(*image, fitted.width, fitted.height);
  return scaled ? scaled : image;
}

double ScreenCapturer::compressionQuality(int64_t quality) {
  double q = std::min(static_cast<double>(quality) / 100.0, 1.0);
  return std::max(q, 0.0);
}

}  // namespace cvl
