#pragma once
// InputInjector: turns the input events the receiver releases into synthetic pointer, button,
// wheel and keyboard events and hands them to an EventPoster. It maps frame pixels to global
// points with the geometry of the last frame, turns moves into drags while a button is held,
// counts multi-clicks and keeps the modifier masks that every event carries.
//
// Owned by the host engine. inject() is called by one thread at a time (the controlling
// viewer's queue or the release-all path); the geometry may be replaced from the frame loop
// while input is injected and is always read and written as one value.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kit/input/capture_geometry.h"
#include "kit/input/event_poster.h"
#include "kit/input/input_event.h"

namespace cvl {

class InputInjector {
 public:
  // Seconds on a monotonic clock; the click counter compares press times on it.
  using Clock = std::function<double()>;

  // Longest gap and farthest travel between the presses of one multi-click.
  static constexpr double doubleClickInterval = 0.5;
  static constexpr double doubleClickSlop = 4.0;

  // Posts through the system's poster, timed by the system uptime.
  InputInjector();
  explicit InputInjector(std::shared_ptr<EventPoster> poster, Clock uptime = systemUptime);

  CaptureGeometry geometry() const;
  void setGeometry(const CaptureGeometry& geometry);

  // Injects the events in order; kinds without an action ("axis", "padbutton", ...) are
  // ignored.
  void inject(const std::vector<InputEvent>& events);
  void inject(const InputEvent& event);

  GlobalPoint lastPoint() const { return lastPoint_; }
  std::uint64_t flags() const { return flags_; }

  // Seconds since boot (CLOCK_MONOTONIC).
  static double systemUptime();

 private:
  void moveTo(GlobalPoint point);
  void mouseButton(const std::string& name, bool down);
  void scroll(std::int32_t delta);
  void key(std::int64_t vk, bool down);
  void unicode(std::int64_t code, bool down);
  void post(SyntheticEvent event);

  std::shared_ptr<EventPoster> poster_;
  Clock uptime_;

  mutable std::mutex geometryMutex_;
  CaptureGeometry geometry_;

  GlobalPoint lastPoint_;
  bool leftDown_ = false;
  bool rightDown_ = false;
  bool otherDown_ = false;
  std::int64_t otherButtonNumber_ = 2;
  std::uint64_t flags_ = 0;
  std::int64_t clickCount_ = 1;
  double lastClickTime_ = 0;
  GlobalPoint lastClickPos_;
  std::string lastClickButton_;
};

}  // namespace cvl
