#pragma once
// HostEngine: the host agent's media core, one per process. Owns the screen capturer, the
// input receiver and the input injector, and runs the frame loop: while capture runs, a
// repeating timer on the serial queue "cvl.frameloop" grabs one frame per tick, hands its
// geometry to the injector and its JPEG to the frame consumer (the fabric client). Viewer
// settings, the monitors report, view-only, input and the clipboard go through it as well.
//
// Threads: any thread may call any operation. Capture state (the capturer, running, the
// settings, the timer, onFrame) is serialised by one lock that is also held around the body of
// a tick, so selectMonitor never runs inside a grab; input (receiver and injector) has a lock of
// its own so typing never waits behind a grab or a capture start. startCapture and a monitor
// change may block their caller for up to 8 s while a stream starts. onFrame runs on
// "cvl.frameloop" outside the lock and must return quickly. Created through make(): the timer
// holds the engine weakly.

#include <atomic>
#include <cstdint>
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

  using FrameCallback = std::function<void(const std::vector<uint8_t>& jpeg, int64_t width,
                                           int64_t height)>;

  // The system pieces the engine drives; fakes in tests.
  struct Platform {
    CapturePlatform capture;
    std::shared_ptr<EventPoster> poster;
    std::shared_ptr<Pasteboard> pasteboard;
    InputInjector::Clock uptime = InputInjector::systemUptime;
  };
  // The pieces of the system this build runs on (X11 through $DISPLAY).
  static Platform systemPlatform();

  static std::shared_ptr<HostEngine> make(int64_t monitorIndex);
  static std::shared_ptr<HostEngine> make(int64_t monitorIndex, Platform platform);
  ~HostEngine();
  HostEngine(const HostEngine&) = delete;
  HostEngine& operator=(const HostEngine&) = delete;

  void startCapture();
  void stopCapture();

  // What a viewer's settings message carries, each absent when not sent. The result is
  // (asked, applied) frame rates when a usable fps was given.
  std::optional<std::pair<int64_t, int64_t>> applySettings(std::optional<double> fps,
                                                           std::optional<int64_t> quality,
                                                           std::optional<int64_t> maxEdge,
                                                           std::optional<int64_t> monitor);

  // {"type": "monitors", "monitors": [{"index", "w", "h", "primary"}...], "selected",
  //  "virtualW", "virtualH"}, built fresh from the active displays.
  nlohmann::json monitorsMessage();

  // One input frame or decoded event; true when the viewer should send a snapshot.
  bool injectBinary(std::span<const uint8_t> data);
  bool injectEvent(const InputEvent& event);
  // Lets go of everything held (the held record, then a blind release) and ends view-only.
  void releaseAll();

  // The clipboard's text, "" when it holds none.
  std::string clipboardText();
  void setClipboard(const std::string& text);

  InputInjector& injector() { return injector_; }
  int64_t frameIntervalMs() const;
  int64_t quality() const;
  int64_t maxEdge() const;
  int64_t monitorIndex() const;
  bool viewOnly() const { return viewOnly_; }
  void setViewOnly(bool on) { viewOnly_ = on; }
  FrameCallback onFrame() const;
  void setOnFrame(FrameCallback callback);

  // The frame rate as a viewer asks for it: rounded half away from zero, saturated to the
  // 64-bit range; absent for NaN and infinities.
  static std::optional<int64_t> roundFps(double fps);

 private:
  HostEngine(int64_t monitorIndex, Platform platform);
  void restartTimer();  // with mutex_ held
  void tick();

  std::shared_ptr<Pasteboard> pasteboard_;

  mutable std::mutex mutex_;  // everything below up to the input section
  ScreenCapturer capturer_;
  int64_t frameIntervalMs_ = INITIAL_FRAME_INTERVAL_MS;
  int64_t quality_ = INITIAL_QUALITY;
  int64_t maxEdge_ = 0;
  int64_t monitorIndex_;
  TimerHandle frameTimer_;
  bool running_ = false;
  FrameCallback onFrame_;
  SerialQueue timerQueue_{"cvl.frameloop"};

  std::mutex inputMutex_;  // receiver_ and the injector's input state
  InputInjector injector_;
  Receiver receiver_;
  std::atomic<bool> viewOnly_{false};
};

}  // namespace cvl
