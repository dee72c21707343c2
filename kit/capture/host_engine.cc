#include "kit/capture/host_engine.h"

#include <algorithm>
#include <cmath>

#include "kit/capture/x11/capture_platform_x11.h"

namespace cvl {

namespace {

// Work that runs `f` on the engine while it exists, and does nothing once it has gone.
template <typename F>
Work holding(std::weak_ptr<HostEngine> weak, F f) {
  return [weak = std::move(weak), f = std::move(f)]() mutable {
    if (auto self = weak.lock()) f(*self);
  };
}

}  // namespace

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
    : scheduler_(platform.scheduler ? platform.scheduler : Scheduler::system()),
      pasteboard_(std::move(platform.pasteboard)),
      engineQueue_(std::make_shared<SerialQueue>("cvl.frameloop", scheduler_)),
      capturer_(std::make_shared<ScreenCapturer>(monitorIndex, std::move(platform.capture))),
      monitorIndex_(monitorIndex),
      inputQueue_("cvl.input", scheduler_),
      poster_(std::move(platform.poster)),
      injector_(poster_, std::move(platform.uptime)) {
  status_.monitorIndex = monitorIndex;
}

HostEngine::~HostEngine() {
  // Nothing else refers to the engine any more: its queued work holds it weakly. A capture
  // job still running keeps the capturer alive and stops it when it ends.
  frameTimer_.cancel();
}

// ---- Capture ----

void HostEngine::startCapture() {
  engineQueue_->async(holding(weak_from_this(), [](HostEngine& e) {
    if (e.leaving_ || e.running_) return;
    e.running_ = true;
    e.publishStatus();
    e.queueCaptureJob({CaptureJob::Kind::start});
  }));
}

void HostEngine::stopCapture() {
  engineQueue_->async(holding(weak_from_this(), [](HostEngine& e) {
    e.running_ = false;
    e.frameTimer_.cancel();
    e.frameTimer_ = {};
    e.publishStatus();
    e.queueCaptureJob({CaptureJob::Kind::stop});
  }));
}

void HostEngine::queueCaptureJob(CaptureJob job) {
  if (job.kind == CaptureJob::Kind::stop) {
    // A start that has not begun yet need not begin at all, and one stop is enough.
    std::erase_if(captureJobs_,
                  [](const CaptureJob& j) { return j.kind == CaptureJob::Kind::start; });
    if (!captureJobs_.empty() && captureJobs_.back().kind == CaptureJob::Kind::stop) return;
  }
  captureJobs_.push_back(job);
  pumpCapture();
}

void HostEngine::pumpCapture() {
  while (!captureBusy_ && !captureJobs_.empty()) {
    CaptureJob job = captureJobs_.front();
    captureJobs_.pop_front();
    switch (job.kind) {
      case CaptureJob::Kind::stop:
        capturer_->stop();
        break;
      case CaptureJob::Kind::setFrameRate:
        capturer_->setFrameRate(job.value);
        break;
      case CaptureJob::Kind::start:
      case CaptureJob::Kind::selectMonitor: {
        // These wait for the capture stream (up to 8 s): the capturer goes to a thread of its
        // own meanwhile, and nothing here touches it until the job reports back.
        captureBusy_ = true;
        publishStatus();
        runBlocking("cvl.capture", [capturer = capturer_, job, queue = engineQueue_,
                                    weak = weak_from_this()] {
          if (job.kind == CaptureJob::Kind::start) {
            capturer->start();
          } else {
            capturer->selectMonitor(job.value);
          }
          queue->async(holding(weak, [kind = job.kind](HostEngine& e) { e.captureJobDone(kind); }));
        });
        return;
      }
    }
  }
}

void HostEngine::captureJobDone(CaptureJob::Kind kind) {
  captureBusy_ = false;
  publishStatus();
  // The first frame is grabbed at once, not one interval after the start.
  if (kind == CaptureJob::Kind::start && running_ && !leaving_) restartTimer();
  if (leaving_) {
    capturer_->stop();
    return;
  }
  pumpCapture();
}

void HostEngine::restartTimer() {
  frameTimer_.cancel();
  frameTimer_ = engineQueue_->every(Duration::zero(), std::chrono::milliseconds(frameIntervalMs_),
                                    holding(weak_from_this(), [](HostEngine& e) { e.tick(); }));
}

void HostEngine::tick() {
  // While the capturer is away starting or switching there is nothing to grab.
  if (!running_ || captureBusy_ || leaving_) return;
  produceFrame();
}

// The one place where frames are made: the newest image, scaled and encoded (or the last JPEG
// handed on when nothing changed); its geometry to the injector (so input maps onto the
// picture the viewers get next), its JPEG to the consumer. A picture that has stood still for
// REFRESH_AFTER is encoded once more at each refresh quality asked for.
void HostEngine::produceFrame() {
  std::optional<GrabResult> frame = capturer_->grab(maxEdge_, quality_);
  if (!frame) return;
  injector_.setGeometry(frame->geometry);
  TimePoint now = scheduler_->now();
  if (!frame->unchanged) {
    stillSince_ = now;
    refreshed_ = false;
  }
  if (!onFrame_) {
    consumerHasFrame_ = false;
    return;
  }
  // "Unchanged" promises the consumer the bytes it got last; one that missed a frame (it was
  // replaced, or absent) gets it as new.
  onFrame_({frame->jpeg, frame->width, frame->height, frame->unchanged && consumerHasFrame_, 0});
  consumerHasFrame_ = true;
  if (refreshed_ || now - stillSince_ < REFRESH_AFTER) return;
  refreshed_ = true;
  for (int64_t q : refreshQualities_) {
    if (q <= quality_) continue;  // the frames are already as sharp
    if (auto sharp = capturer_->refresh(q)) {
      onFrame_({sharp->jpeg, sharp->width, sharp->height, false, q});
    }
  }
}

std::optional<int64_t> HostEngine::roundFps(double fps) {
  if (!std::isfinite(fps)) return std::nullopt;
  double r = std::round(fps);  // halves away from zero
  // 2^63 is the first double past INT64_MAX; -2^63 is INT64_MIN exactly.
  if (r >= 9223372036854775808.0) return INT64_MAX;
  if (r <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(r);
}

void HostEngine::applySettings(std::optional<double> fps, std::optional<int64_t> quality,
                               std::optional<int64_t> maxEdge, std::optional<int64_t> monitor,
                               Reply<std::optional<FpsPair>> done) {
  engineQueue_->async(holding(weak_from_this(), [=, done = std::move(done)](HostEngine& e) {
    std::optional<FpsPair> result;
    if (fps) {
      if (auto asked = roundFps(*fps)) {
        int64_t applied = std::clamp<int64_t>(*asked, 1, MAX_FPS);
        e.frameIntervalMs_ = std::lround(1000.0 / static_cast<double>(applied));
        if (e.running_ && e.frameTimer_) e.restartTimer();
        e.queueCaptureJob({CaptureJob::Kind::setFrameRate, applied});
        result = FpsPair(*asked, applied);
      }
    }
    if (quality) e.quality_ = std::clamp<int64_t>(*quality, 1, 100);
    if (maxEdge) e.maxEdge_ = std::max<int64_t>(*maxEdge, 0);
    if (monitor && *monitor != e.monitorIndex_) {
      e.monitorIndex_ = *monitor;
      e.queueCaptureJob({CaptureJob::Kind::selectMonitor, *monitor});
    }
    e.publishStatus();
    if (done) done(result);
  }));
}

void HostEngine::monitorsMessage(Reply<nlohmann::json> done) {
  engineQueue_->async(holding(weak_from_this(), [done = std::move(done)](HostEngine& e) {
    // The display services are safe to use while the capturer itself is lent out.
    DisplayServices& displays = e.capturer_->displays();
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
    if (done) {
      done({{"type", "monitors"},
            {"monitors", std::move(list)},
            {"selected", e.monitorIndex_},
            {"virtualW", virtualW},
            {"virtualH", virtualH}});
    }
  }));
}

void HostEngine::setOnFrame(FrameCallback callback) {
  engineQueue_->async(holding(weak_from_this(), [callback = std::move(callback)](HostEngine& e) {
    e.onFrame_ = callback;
    e.consumerHasFrame_ = false;
  }));
}

void HostEngine::setRefreshQualities(std::vector<int64_t> qualities) {
  for (auto& q : qualities) q = std::clamp<int64_t>(q, 1, 100);
  std::sort(qualities.begin(), qualities.end());
  qualities.erase(std::unique(qualities.begin(), qualities.end()), qualities.end());
  engineQueue_->async(holding(weak_from_this(), [qualities = std::move(qualities)](HostEngine& e) {
    if (qualities == e.refreshQualities_) return;
    e.refreshQualities_ = qualities;
    e.refreshed_ = false;
  }));
}

void HostEngine::publishStatus() {
  std::lock_guard lock(statusMutex_);
  status_ = {frameIntervalMs_, quality_, maxEdge_, monitorIndex_, running_, captureBusy_};
}

HostEngine::Status HostEngine::status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

// ---- Input ----

bool HostEngine::inject(const ReceiveResult& result) {
  injector_.inject(result.commands);
  return result.needsResync;
}

void HostEngine::injectBinary(std::vector<uint8_t> frame, Reply<bool> done) {
  inputQueue_.async(
      holding(weak_from_this(), [frame = std::move(frame), done = std::move(done)](HostEngine& e) {
        bool resync = false;
        if (!e.inputClosed_ && !e.viewOnly_) resync = e.inject(e.receiver_.receive(frame));
        if (done) done(resync);
      }));
}

void HostEngine::injectEvent(InputEvent event, Reply<bool> done) {
  inputQueue_.async(
      holding(weak_from_this(), [event = std::move(event), done = std::move(done)](HostEngine& e) {
        bool resync = false;
        if (!e.inputClosed_ && !e.viewOnly_) resync = e.inject(e.receiver_.receive(event));
        if (done) done(resync);
      }));
}

void HostEngine::letGo() {
  injector_.inject(receiver_.reset());
  injector_.inject(blindRelease());
  // Whatever the system still has down from us, should the record have been out of step.
  if (poster_) poster_->releaseAll();
}

void HostEngine::releaseAll(Work done) {
  inputQueue_.async(holding(weak_from_this(), [done = std::move(done)](HostEngine& e) {
    e.letGo();
    e.viewOnly_ = false;
    if (done) done();
  }));
}

void HostEngine::releaseHeld(Work done) {
  inputQueue_.async(holding(weak_from_this(), [done = std::move(done)](HostEngine& e) {
    e.letGo();
    if (done) done();
  }));
}

void HostEngine::setViewOnly(bool on, Reply<bool> done) {
  inputQueue_.async(holding(weak_from_this(), [on, done = std::move(done)](HostEngine& e) {
    e.viewOnly_ = on;
    if (done) done(e.viewOnly_);
  }));
}

// ---- Clipboard ----

void HostEngine::clipboardText(Reply<std::string> done) {
  if (!pasteboard_) {
    if (done) done("");
    return;
  }
  pasteboard_->readText([done = std::move(done)](std::optional<std::string> text) {
    if (done) done(text.value_or(""));
  });
}

void HostEngine::setClipboard(std::string text, Work done) {
  if (!pasteboard_) {
    if (done) done();
    return;
  }
  pasteboard_->writeText(std::move(text), std::move(done));
}

// ---- Leaving ----

void HostEngine::shutdown(Work done) {
  auto pending = std::make_shared<std::atomic<int>>(2);
  auto finish = [pending, done = std::move(done)] {
    if (pending->fetch_sub(1) == 1 && done) done();
  };
  std::weak_ptr<HostEngine> weak = weak_from_this();
  inputQueue_.async([weak, finish] {
    if (auto self = weak.lock()) {
      self->letGo();
      self->inputClosed_ = true;
    }
    finish();
  });
  engineQueue_->async([weak, finish] {
    if (auto self = weak.lock()) {
      self->leaving_ = true;
      self->running_ = false;
      self->frameTimer_.cancel();
      self->captureJobs_.clear();
      // A start still in progress stops the capturer when it reports back.
      if (!self->captureBusy_) self->capturer_->stop();
      self->publishStatus();
    }
    finish();
  });
}

}  // namespace cvl
