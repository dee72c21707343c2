#pragma once
// Fakes for the fabric client's unit tests: a WebSocket connector whose tasks the test
// drives by hand, and an engine that records what the client asks of it.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kit/fabric/fabric_engine.h"
#include "kit/base/serial_queue.h"
#include "kit/fabric/websocket.h"

namespace cvl::test {

class FakeTask : public WebSocketTask {
 public:
  explicit FakeTask(WebSocketUrl url) : url(std::move(url)) {}
  const WebSocketUrl url;

  void resume() override {
    std::lock_guard guard(mutex_);
    resumed_ = true;
  }

  void receive(WebSocketReceiveCompletion completion) override {
    std::unique_lock guard(mutex_);
    if (!incoming_.empty()) {
      auto next = std::move(incoming_.front());
      incoming_.pop_front();
      guard.unlock();
      completion(std::move(next));
      return;
    }
    pending_ = std::move(completion);
  }

  void send(WebSocketMessage message, WebSocketWriteCompletion completion) override {
    std::unique_lock guard(mutex_);
    sent_.push_back(std::move(message.data));
    if (holdWrites_) {
      held_.push_back(std::move(completion));
      return;
    }
    guard.unlock();
    if (completion) completion(std::nullopt);
  }

  void sendPing(WebSocketWriteCompletion completion) override {
    std::optional<WebSocketError> error;
    {
      std::lock_guard guard(mutex_);
      ++pings_;
      error = pingError_;
    }
    if (completion) completion(error);
  }

  void cancel(uint16_t closeCode, std::string) override {
    WebSocketReceiveCompletion pending;
    {
      std::lock_guard guard(mutex_);
      cancelCode_ = closeCode;
      pending = std::move(pending_);
      pending_ = nullptr;
    }
    if (pending) pending({WebSocketError{"cancelled"}, {}});
  }

  // ---- Driving it ----

  // Delivers a message (or queues it until the next receive).
  void push(WebSocketReceived received) {
    std::unique_lock guard(mutex_);
    if (pending_) {
      auto completion = std::move(pending_);
      pending_ = nullptr;
      guard.unlock();
      completion(std::move(received));
      return;
    }
    incoming_.push_back(std::move(received));
  }
  void pushBinary(std::vector<uint8_t> bytes) {
    push({std::nullopt, WebSocketMessage::binary(std::move(bytes))});
  }
  void fail(std::string description) { push({WebSocketError{std::move(description)}, {}}); }

  // Writes stay unfinished until completeHeldWrites().
  void holdWrites(bool on) {
    std::lock_guard guard(mutex_);
    holdWrites_ = on;
  }
  // Finishes the oldest `count` held writes (all of them by default).
  void completeHeldWrites(size_t count = SIZE_MAX) {
    std::vector<WebSocketWriteCompletion> done;
    {
      std::lock_guard guard(mutex_);
      count = std::min(count, held_.size());
      done.assign(std::make_move_iterator(held_.begin()),
                  std::make_move_iterator(held_.begin() + count));
      held_.erase(held_.begin(), held_.begin() + count);
    }
    for (auto& c : done) {
      if (c) c(std::nullopt);
    }
  }
  size_t heldWrites() {
    std::lock_guard guard(mutex_);
    return held_.size();
  }
  void failPings(std::string description) {
    std::lock_guard guard(mutex_);
    pingError_ = WebSocketError{std::move(description)};
  }

  bool resumed() {
    std::lock_guard guard(mutex_);
    return resumed_;
  }
  bool receivePending() {
    std::lock_guard guard(mutex_);
    return static_cast<bool>(pending_);
  }
  std::vector<std::vector<uint8_t>> sent() {
    std::lock_guard guard(mutex_);
    return sent_;
  }
  size_t sentCount() {
    std::lock_guard guard(mutex_);
    return sent_.size();
  }
  int pings() {
    std::lock_guard guard(mutex_);
    return pings_;
  }
  std::optional<uint16_t> cancelCode() {
    std::lock_guard guard(mutex_);
    return cancelCode_;
  }

 private:
  std::mutex mutex_;
  bool resumed_ = false;
  std::deque<WebSocketReceived> incoming_;
  WebSocketReceiveCompletion pending_;
  std::vector<std::vector<uint8_t>> sent_;
  bool holdWrites_ = false;
  std::vector<WebSocketWriteCompletion> held_;
  int pings_ = 0;
  std::optional<WebSocketError> pingError_;
  std::optional<uint16_t> cancelCode_;
};

class FakeConnector : public WebSocketConnector {
 public:
  std::shared_ptr<WebSocketTask> makeTask(const WebSocketUrl& url) override {
    auto task = std::make_shared<FakeTask>(url);
    std::lock_guard guard(mutex_);
    tasks_.push_back(task);
    return task;
  }
  size_t count() {
    std::lock_guard guard(mutex_);
    return tasks_.size();
  }
  // The n-th task made (0-based), or null when there is none yet.
  std::shared_ptr<FakeTask> task(size_t n) {
    std::lock_guard guard(mutex_);
    return n < tasks_.size() ? tasks_[n] : nullptr;
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeTask>> tasks_;
};

// Records every call; results are set by the test. Like the real engine it answers later, on
// a queue of its own ("cvl.frameloop" of the fake), never inside the call.
class FakeEngine : public FabricEngine {
 public:
  struct Settings {
    std::optional<double> fps;
    std::optional<int64_t> quality, maxEdge, monitor;
  };

  explicit FakeEngine(const std::shared_ptr<Scheduler>& scheduler = Scheduler::system())
      : queue("cvl.frameloop", scheduler) {}

  // Runs `f` under the fake's mutex (the client calls it from several queues).
  template <typename F>
  auto locked(F&& f) -> decltype(f()) {
    std::lock_guard guard(mutex);
    return f();
  }

  void startCapture() override { locked([&] { ++starts; running = true; }); }
  void stopCapture() override { locked([&] { ++stops; running = false; }); }
  void releaseAll() override {
    locked([&] {
      ++releases;
      viewOnlyOn = false;
      calls.push_back("releaseAll");
    });
  }
  void releaseHeld() override {
    locked([&] {
      ++heldReleases;
      calls.push_back("releaseHeld");
    });
  }
  void injectBinary(std::vector<uint8_t> frame, Reply<bool> needsResync) override {
    bool answer = locked([&] {
      binaries.push_back(frame);
      calls.push_back("injectBinary");
      return !viewOnlyOn && resyncAnswer;
    });
    answerLater([needsResync, answer] { needsResync(answer); });
  }
  void injectEvent(InputEvent event) override {
    locked([&] {
      events.push_back(event);
      calls.push_back("injectEvent");
    });
  }
  void applySettings(std::optional<double> fps, std::optional<int64_t> quality,
                     std::optional<int64_t> maxEdge, std::optional<int64_t> monitor,
                     Reply<std::optional<FpsApplied>> done) override {
    std::optional<FpsApplied> answer = locked([&]() -> std::optional<FpsApplied> {
      settings.push_back({fps, quality, maxEdge, monitor});
      if (!fps) return std::nullopt;
      auto asked = static_cast<int64_t>(*fps);
      constexpr int64_t CEILING = 30;
      return FpsApplied{asked, std::clamp<int64_t>(asked, 1, CEILING), CEILING};
    });
    answerLater([done, answer] { done(answer); });
  }
  static nlohmann::json monitorsReport() {
    return {{"type", "monitors"}, {"monitors", nlohmann::json::array()}, {"selected", 0},
            {"virtualW", 0}, {"virtualH", 0}};
  }
  void monitorsMessage(Reply<nlohmann::json> done) override {
    answerLater([done] { done(monitorsReport()); });
  }
  void setViewOnly(bool on, Reply<bool> done) override {
    locked([&] { viewOnlyOn = on; });
    answerLater([done, on] { done(on); });
  }
  void clipboardText(Reply<std::string> done) override {
    std::string text = locked([&] { return clipboard; });
    answerLater([done, text] { done(text); });
  }
  void setClipboard(std::string text, std::function<void()> done) override {
    locked([&] {
      clipboard = text;
      ++clipboardWrites;
    });
    answerLater(std::move(done));
  }
  void setOnFrame(FrameCallback callback) override {
    locked([&] { onFrame = std::move(callback); });
  }
  void setRefreshQualities(std::vector<int64_t> qualities) override {
    locked([&] { refreshQualities.push_back(std::move(qualities)); });
  }
  void shutdown(std::function<void()> done) override {
    bool hang = locked([&] {
      ++shutdowns;
      running = false;
      calls.push_back("shutdown");
      return shutdownHangs;
    });
    if (!hang) answerLater(std::move(done));
  }

  // Plays the frame loop: hands one frame to the consumer on the calling thread.
  void emitFrame(std::span<const uint8_t> jpeg, int64_t w, int64_t h, bool unchanged = false,
                 int64_t refreshQuality = 0) {
    FrameCallback callback = locked([&] { return onFrame; });
    if (callback) callback({jpeg, w, h, unchanged, refreshQuality});
  }

  std::mutex mutex;
  int starts = 0, stops = 0, releases = 0, heldReleases = 0, clipboardWrites = 0,
      shutdowns = 0;
  bool running = false;
  bool viewOnlyOn = false;
  bool resyncAnswer = false;
  bool shutdownHangs = false;  // a shutdown that never reports back
  std::string clipboard;
  std::vector<std::vector<uint8_t>> binaries;
  std::vector<InputEvent> events;
  std::vector<Settings> settings;
  std::vector<std::vector<int64_t>> refreshQualities;  // every list handed over
  // The order of the input calls: "injectBinary", "injectEvent", "releaseHeld", ...
  std::vector<std::string> calls;
  FrameCallback onFrame;
  SerialQueue queue;

 private:
  void answerLater(std::function<void()> answer) {
    if (answer) queue.async(std::move(answer));
  }
};

}  // namespace cvl::test
