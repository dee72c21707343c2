#include "kit/capture/screen_capturer.h"

#include <algorithm>
#include <cmath>

#include "kit/capture/band_scaler.h"
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
  forgetFrames();
  // The screenshot source has nothing to start and cannot fail.
  (void)source_->start();
}

void ScreenCapturer::forgetFrames() {
  detector_.reset();
  detectorArea_.reset();
  comparer_.reset();
  haveFrame_ = false;
  sourceImage_.reset();
  lastGrabAt_.reset();
}

std::optional<GrabResult> ScreenCapturer::grab(int64_t maxEdge, int64_t quality) {
  const int edge = static_cast<int>(std::clamp<int64_t>(maxEdge, 0, INT32_MAX));
  const int q = codecQuality(compressionQuality(quality));
  const auto now = platform_.now();

  // What changed since the last grab, asked before this grab (a change that lands between the
  // two is in this grab and again in the next report: a row encoded twice, never one missed).
  ScreenChanges changes;
  if (detector_) {
    changes = detector_->take();
    bool lookDue = !lastGrabAt_ || now - *lastGrabAt_ >= STILL_LOOK_INTERVAL;
    if (changes.none() && haveFrame_ && edge == edge_ && q == quality_ && !lookDue) {
      rowsEncoded_ = 0;
      return keptResult(true);
    }
  }

  ImageRef image = source_->latestImage();
  if (!image) {
    if (usingFallback_) return std::nullopt;
    if (captureStartedAt_) {
      std::chrono::duration<double> elapsed = now - *captureStartedAt_;
      if (elapsed.count() < STREAM_GRACE_SEC) return std::nullopt;
    }
    Log::line("[capture] ScreenCaptureKit gave no frame in 4.0s; falling back to CGDisplay "
              "(no cursor)");
    switchToFallback();
    image = source_->latestImage();
    if (!image) return std::nullopt;
  }
  lastGrabAt_ = now;

  // The part of the screen this very image shows: what its source says (the display may have
  // changed since), else the display's bounds now.
  ScreenArea area;
  if (image->shows()) {
    area = *image->shows();
  } else {
    DisplayBounds b = platform_.displays->bounds(displayID_);
    area = {b.x, b.y, b.width, b.height};
  }

  // The streaming source's area gets the system's detector, made for that area; the
  // screenshot fallback and systems without one compare frames.
  bool everything = false;
  bool wantDetector = !usingFallback_ && platform_.changeDetector;
  if (wantDetector && detectorArea_ != area) {
    // Its first report says "everything", so the next grab encodes the whole frame once more.
    detector_ = platform_.changeDetector(area);
    detectorArea_ = area;
    comparer_.reset();
    everything = true;
  }
  // Rectangles of a detector are in the area's pixels, those of the comparer in the image's.
  int changedHeight = image->height();
  if (detector_) {
    changedHeight = static_cast<int>(std::lround(area.height));
  } else {
    changes = comparer_.compare(image);
  }

  PixelSize size{image->width(), image->height()};
  PixelSize fitted = fitLongestEdge(size, edge);
  if (everything || !haveFrame_ || fitted != size_ || q != quality_ || shows_ != image->shows()) {
    changes.everything = true;
  }
  markRows(changes, changedHeight, fitted.height, RowJpegEncoder::ROW_HEIGHT, rows_);
  if (std::find(rows_.begin(), rows_.end(), 1) == rows_.end()) {
    // Nothing in the picture changed (the comparer found the frames equal, or the detector's
    // rectangles fell outside the picture): the same JPEG again, without an encode.
    edge_ = edge;
    rowsEncoded_ = 0;
    return keptResult(true);
  }

  const Image* picture = image.get();
  if (fitted != size) {
    size_t bytes = static_cast<size_t>(fitted.width) * Image::BYTES_PER_PIXEL * fitted.height;
    if (!shrunkPicture_ || shrunkPicture_->width() != fitted.width ||
        shrunkPicture_->height() != fitted.height) {
      shrunk_.resize(bytes);
      shrunkPicture_.emplace(fitted.width, fitted.height, fitted.width * Image::BYTES_PER_PIXEL,
                             shrunk_.data(), nullptr);
      std::fill(rows_.begin(), rows_.end(), 1);
    }
    if (scaleMarkedRows(*image, shrunk_.data(), shrunkPicture_->stride(), fitted.width,
                        fitted.height, rows_, RowJpegEncoder::ROW_HEIGHT)) {
      picture = &*shrunkPicture_;
    } else {
      // Shrinking failed: the frame goes out at its own size, and the kept shrunk image no
      // longer matches any frame.
      shrunkPicture_.reset();
      fitted = size;
      markRows({.everything = true}, size.height, size.height, RowJpegEncoder::ROW_HEIGHT, rows_);
    }
  }

  auto jpeg = encoder_.encodeChanged(*picture, q, rows_);
  if (!jpeg) {
    haveFrame_ = false;
    return std::nullopt;
  }
  haveFrame_ = true;
  jpeg_ = *jpeg;
  size_ = fitted;
  quality_ = q;
  edge_ = edge;
  shows_ = image->shows();
  sourceImage_ = picture == image.get() ? image : nullptr;
  rowsEncoded_ = encoder_.rowsEncoded();
  return keptResult(false);
}

GrabResult ScreenCapturer::keptResult(bool unchanged) const {
  GrabResult result;
  result.jpeg = jpeg_;
  result.width = size_.width;
  result.height = size_.height;
  result.unchanged = unchanged;
  // The mapping of this very picture: the part of the screen it shows when its source says
  // so, else the display's bounds now.
  ScreenArea area;
  if (shows_) {
    area = *shows_;
  } else {
    DisplayBounds b = platform_.displays->bounds(displayID_);
    area = {b.x, b.y, b.width, b.height};
  }
  result.geometry = {area.x, area.y, area.width / static_cast<double>(result.width),
                     area.height / static_cast<double>(result.height)};
  return result;
}

const Image* ScreenCapturer::keptPicture() const {
  if (!haveFrame_) return nullptr;
  if (sourceImage_) return sourceImage_.get();
  return shrunkPicture_ ? &*shrunkPicture_ : nullptr;
}

std::optional<GrabResult> ScreenCapturer::refresh(int64_t quality) {
  const Image* picture = keptPicture();
  if (!picture) return std::nullopt;
  auto jpeg = refreshEncoder_.encode(*picture, codecQuality(compressionQuality(quality)));
  if (!jpeg) return std::nullopt;
  GrabResult result = keptResult(true);
  result.jpeg = *jpeg;
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
  forgetFrames();
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

int ScreenCapturer::codecQuality(double compression) {
  if (!(compression >= 0.0)) compression = 0.0;  // NaN too
  compression = std::min(compression, 1.0);
  // The codec has no quality 0; the smallest output it makes is at 1.
  return std::clamp(static_cast<int>(std::lround(compression * 100.0)), 1, 100);
}

}  // namespace cvl
