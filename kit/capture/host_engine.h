#pragma once
// HostEngine: the host agent's media core, one per process. Owns the screen capturer, the
// input receiver and the input injector, and runs the frame loop: while capture runs, a
// repeating timer grabs one frame per tick, hands its geometry to the injector and its JPEG to
// the frame consumer (the fabric client). A tick on a still screen hands on the same JPEG and
// says so; once the picture has stood still for REFRESH_AFTER, viewers that asked for a
// sharper still picture get one frame encoded at their refresh quality. Viewer settings, the
// monitors report, view-only, input and the clipboard go through it as well.
//
// Sequences. Every operation posts to the sequence that owns its state and returns at once;
// results come back through a callback that runs on that sequence (it must be short and post
// onward). Nobody waits for anybody:
//   "cvl.frameloop"  the capture state (capturer, settings, timer, frame consumer), the ticks
//                    and the monitors report. Starting the capturer and switching monitors
//                    block for up to 8 s, so they run on a capture thread of their own while
//                    the capturer is lent to it; ticks grab nothing meanwhile, and requests
//                    that reach the capturer wait their turn in order.
//   "cvl.input"      the receiver, the injector's held state and view-only. The geometry that
//                    ticks hand to the injector is one value behind a small lock of its own.
//   the pasteboard's own thread: clipboard reads and writes, in the order asked for.
// Created through make(): every callback holds the engine weakly.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "kit/base/serial_queue.h"
#include "kit/capture/capture_platform.h"
#include "kit/capture/pasteboard.h"
#include "kit/capture/screen_capturer.h"
#include "kit/input/event_poster.h"
#include "kit/input/input_event.h"
#include "kit/input/input_injector.h"
#include "kit/input/receiver.h"

namespace cvl {

class HostEngine : public std::enable_shared_from_this<HostEngine> {
 public:
  static constexpr int64_t MAX_FPS = 30;
  static constexpr int64_t INITIAL_FRAME_INTERVAL_MS = 150;
  static constexpr int64_t INITIAL_QUALITY = 60;
  // How long the picture stands still before the refresh frames are made.
  static constexpr auto REFRESH_AFTER = std::chrono::milliseconds(200);

  // One frame for the consumer.
  struct Frame {
    std::span<const uint8_t> jpeg;  // valid during the callback only
    int64_t width = 0;
    int64_t height = 0;
    // The same picture and bytes as the previous frame of the tick sequence (refresh frames
    // aside) that this consumer got.
    bool unchanged = false;
    // 0 for the frames of the ticks; otherwise a one-off whole encode of the still picture at
    // this quality, for the viewers that asked for it.
    int64_t refreshQuality = 0;
  };
  using FrameCallback = std::function<void(const Frame& frame)>;
  template <typename T>
  using Reply = std::function<void(T)>;
  // The frame rate a viewer asked for (rounded) and the one applied (1 to MAX_FPS).
  using FpsPair = std::pair<int64_t, int64_t>;

  // The system pieces the engine drives; fakes in tests.
  struct Platform {
    CapturePlatform capture;
    std::shared_ptr<EventPoster> poster;
    std::shared_ptr<Pasteboard> pasteboard;
    InputInjector::Clock uptime = InputInjector::systemUptime;
    // Where the engine's sequences run; the system's when empty.
    std::shared_ptr<Scheduler> scheduler;
  };
  // The pieces of the system this build runs on (X11 through $DISPLAY).
  static Platform systemPlatform();

  static std::shared_ptr<HostEngine> make(int64_t monitorIndex);
  static std::shared_ptr<HostEngine> make(int64_t monitorIndex, Platform platform);
  ~HostEngine();
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  // ---- Capture ("cvl.frameloop") ----
  void startCapture();
  void stopCapture();
  // What a viewer's settings message carries, each absent when not sent. `done` gets
  // (asked, applied) frame rates when a usable fps was given.
  void applySettings(std::optional<double> fps, std::optional<int64_t> quality,
                     std::optional<int64_t> maxEdge, std::optional<int64_t> monitor,
                     Reply<std::optional<FpsPair>> done = nullptr);
  // {"type": "monitors", "monitors": [{"index", "w", "h", "primary"}...], "selected",
  //  "virtualW", "virtualH"}, built fresh from the active displays.
  void monitorsMessage(Reply<nlohmann::json> done);
  // Replaces the frame consumer; called on "cvl.frameloop" for every frame.
  void setOnFrame(FrameCallback callback);
  // The refresh qualities viewers ask for (1..100 each; empty: none). Only qualities above
  // the frames' own make a refresh frame. A new list makes the refresh frames again for the
  // picture that stands still now.
  void setRefreshQualities(std::vector<int64_t> qualities);

  // ---- Input ("cvl.input") ----
  // One input frame or decoded event; `done` gets true when the viewer should send a snapshot.
  void injectBinary(std::vector<uint8_t> frame, Reply<bool> done = nullptr);
  void injectEvent(InputEvent event, Reply<bool> done = nullptr);
  // Lets go of everything held (the held record, then a blind release, then whatever the
  // poster still holds) and ends view-only: input control has ended.
  void releaseAll(Work done = nullptr);
  // The same without touching view-only: control has passed to another viewer.
  void releaseHeld(Work done = nullptr);
  // `done` gets the new value.
  void setViewOnly(bool on, Reply<bool> done = nullptr);

  // ---- Clipboard (the pasteboard's thread) ----
  // The clipboard's text, "" when it holds none.
  void clipboardText(Reply<std::string> done);
  void setClipboard(std::string text, Work done = nullptr);

  // ---- Leaving ----
  // Releases everything held, stops capture and ignores input from then on; `done` runs once
  // both are finished (a capture start still in progress is not waited for).
  void shutdown(Work done);

  // ---- Reading the state (any thread) ----
  struct Status {
    int64_t frameIntervalMs = INITIAL_FRAME_INTERVAL_MS;
    int64_t quality = INITIAL_QUALITY;
    int64_t maxEdge = 0;
    int64_t monitorIndex = 0;
    bool running = false;      // capture asked for and not stopped
    bool captureBusy = false;  // the capturer is away starting or switching monitors
  };
  // A copy published by "cvl.frameloop" after every change.
  Status status() const;
  bool viewOnly() const { return viewOnly_; }
  CaptureGeometry geometry() const { return injector_.geometry(); }

  // The frame rate as a viewer asks for it: rounded half away from zero, saturated to the
  // 64-bit range; absent for NaN and infinities.
  static std::optional<int64_t> roundFps(double fps);

 private:
  HostEngine(int64_t monitorIndex, Platform platform);

  // A request for the capturer, run in order of arrival (see pumpCapture).
  struct CaptureJob {
    enum class Kind { start, stop, selectMonitor, setFrameRate } kind;
    int64_t value = 0;
  };

  // On "cvl.frameloop".
  void queueCaptureJob(CaptureJob job);
  void pumpCapture();
  void captureJobDone(CaptureJob::Kind kind);
  void restartTimer();
  void tick();
  void produceFrame();
  void publishStatus();

  // On "cvl.input".
  bool inject(const ReceiveResult& result);
  void letGo();

  std::shared_ptr<Scheduler> scheduler_;
  std::shared_ptr<Pasteboard> pasteboard_;

  // "cvl.frameloop" state.
  std::shared_ptr<SerialQueue> engineQueue_;  // shared with the capture thread's report
  std::shared_ptr<ScreenCapturer> capturer_;  // lent to the capture thread while busy
  bool captureBusy_ = false;
  std::deque<CaptureJob> captureJobs_;
  int64_t frameIntervalMs_ = INITIAL_FRAME_INTERVAL_MS;
  int64_t quality_ = INITIAL_QUALITY;
  int64_t maxEdge_ = 0;
  int64_t monitorIndex_;
  TimerHandle frameTimer_;
  bool running_ = false;
  bool leaving_ = false;
  FrameCallback onFrame_;
  bool consumerHasFrame_ = false;  // the consumer got the last frame made
  std::vector<int64_t> refreshQualities_;
  TimePoint stillSince_;    // when the picture last changed
  bool refreshed_ = false;  // the refresh frames of this still picture are out

  mutable std::mutex statusMutex_;
  Status status_;

  // "cvl.input" state.
  SerialQueue inputQueue_;
  std::shared_ptr<EventPoster> poster_;
  InputInjector injector_;  // its geometry is thread-safe on its own
  Receiver receiver_;
  bool inputClosed_ = false;
  std::atomic<bool> viewOnly_{false};
};

}  // namespace cvl
