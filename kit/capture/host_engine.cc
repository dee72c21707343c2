#include "kit/capture/host_engine.h"

#include <algorithm>
#include <cmath>

#include "kit/capture/x11/capture_platform_x11.h"

namespace cvl {

HostEngine::Platform HostEngine::systemPlatform() {
  Platform p;
  p.capture = x11CapturePlatform();
  p.poster = makeSystemEventPoster();
  p.pasteboard = makeX11Pasteboard();
  return p;
}

std::shared_ptr<HostEngine> HostEngine::make(int64_t monitorIndex) {
  return make(monitorIndex, systemPlatform());
}

std::shared_ptr<HostEngine> HostEngine::make(int64_t monitorIndex, Platform platform) {
  return std::shared_ptr<HostEngine>(new HostEngine(monitorIndex, std::move(platform)));
}

HostEngine::HostEngine(int64_t monitorIndex, Platform platform)
    : pasteboard_(std::move(platform.pasteboard)),
      capturer_(monitorIndex, std::move(platform.capture)),
      monitorIndex_(monitorIndex),
      injector_(std::move(platform.poster), std::move(platform.uptime)) {}

HostEngine::~HostEngine() {
  std::lock_guard lock(mutex_);
  frameTimer_.cancel();
}

void HostEngine::startCapture() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  capturer_.start();
  restartTimer();
}

void HostEngine::stopCapture() {
  std::lock_guard lock(mutex_);
  running_ = false;
  frameTimer_.cancel();
  frameTimer_ = {};
  capturer_.stop();
}

void HostEngine::restartTimer() {
  frameTimer_.cancel();
  std::weak_ptr<HostEngine> weak = weak_from_this();
  frameTimer_ = timerQueue_.every(Duration::zero(), std::chrono::milliseconds(frameIntervalMs_),
                                  [weak] {
                                    if (auto self = weak.lock()) self->tick();
                                  });
}

void HostEngine::tick() {
  std::optional<GrabResult> frame;
  FrameCallback consumer;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    frame = capturer_.grab(maxEdge_, quality_);
    if (!frame) return;
    injector_.setGeometry(frame->geometry);
    consumer = onFrame_;
  }
  // Outside the lock, so that the consumer may call back into the engine; ticks are serial,
  // so there is still only one frame in flight.
  if (consumer) consumer(frame->jpeg, frame->width, frame->height);
}

std::optional<int64_t> HostEngine::roundFps(double fps) {
  if (!std::isfinite(fps)) return std::nullopt;
  double r = std::round(fps);  // halves away from zero
  // 2^63 is the first double past INT64_MAX; -2^63 is INT64_MIN exactly.
  if (r >= 9223372036854775808.0) return INT64_MAX;
  if (r <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(r);
}

std::optional<std::pair<int64_t, int64_t>> HostEngine::applySettings(
    std::optional<double> fps, std::optional<int64_t> quality, std::optional<int64_t> maxEdge,
    std::optional<int64_t> monitor) {
  std::lock_guard lock(mutex_);
  std::optional<std::pair<int64_t, int64_t>> result;
  if (fps) {
    if (auto asked = roundFps(*fps)) {
      int64_t applied = std::clamp<int64_t>(*asked, 1, MAX_FPS);
      frameIntervalMs_ = std::lround(1000.0 / static_cast<double>(applied));
      if (running_) restartTimer();
      capturer_.setFrameRate(applied);
      result = std::make_pair(*asked, applied);
    }
  }
  if (quality) quality_ = std::clamp<int64_t>(*quality, 1, 100);
  if (maxEdge) maxEdge_ = std::max<int64_t>(*maxEdge, 0);
  if (monitor && *monitor != monitorIndex_) {
    monitorIndex_ = *monitor;
    capturer_.selectMonitor(*monitor);
  }
  return result;
}

nlohmann::json HostEngine::monitorsMessage() {
  DisplayServices& displays = capturer_.displays();  // thread-safe on its own
  auto ids = displays.activeDisplays();
  DisplayId mainId = displays.mainDisplay();
  nlohmann::json list = nlohmann::json::array();
  int64_t virtualW = 0, virtualH = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    DisplayBounds b = displays.bounds(ids[i]);
    list.push_back({{"index", static_cast<int64_t>(i)},
                    {"w", static_cast<int64_t>(b.width)},
                    {"h", static_cast<int64_t>(b.height)},
                    {"primary", ids[i] == mainId}});
    virtualW = std::max(virtualW, static_cast<int64_t>(b.x + b.width));
    virtualH = std::max(virtualH, static_cast<int64_t>(b.y + b.height));
  }
  return {{"type", "monitors"},
          {"monitors", std::move(list)},
          {"selected", monitorIndex()},
          {"virtualW", virtualW},
          {"virtualH", virtualH}};
}

bool HostEngine::injectBinary(std::span<const uint8_t> data) {
  if (viewOnly_) return false;
  std::lock_guard lock(inputMutex_);
  ReceiveResult r = receiver_.receive(data);
  injector_.inject(r.commands);
  return r.needsResync;
}

bool HostEngine::injectEvent(const InputEvent& event) {
  if (viewOnly_) return false;
  std::lock_guard lock(inputMutex_);
  ReceiveResult r = receiver_.receive(event);
  injector_.inject(r.commands);
  return r.needsResync;
}

void HostEngine::releaseAll() {
  std::lock_guard lock(inputMutex_);
  injector_.inject(receiver_.reset());
  injector_.inject(blindRelease());
  viewOnly_ = false;
}

std::string HostEngine::clipboardText() {
  if (!pasteboard_) return "";
  return pasteboard_->text().value_or("");
}

void HostEngine::setClipboard(const std::string& text) {
  if (pasteboard_) pasteboard_->setText(text);
}

int64_t HostEngine::frameIntervalMs() const {
  std::lock_guard lock(mutex_);
  return frameIntervalMs_;
}

int64_t HostEngine::quality() const {
  std::lock_guard lock(mutex_);
  return quality_;
}

int64_t HostEngine::maxEdge() const {
  std::lock_guard lock(mutex_);
  return maxEdge_;
}

int64_t HostEngine::monitorIndex() const {
  std::lock_guard lock(mutex_);
  return monitorIndex_;
}

HostEngine::FrameCallback HostEngine::onFrame() const {
  std::lock_guard lock(mutex_);
  return onFrame_;
}

void HostEngine::setOnFrame(FrameCallback callback) {
  std::lock_guard lock(mutex_);
  onFrame_ = std::move(callback);
}

}  // namespace cvl
