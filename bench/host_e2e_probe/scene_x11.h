#pragma once
// The screen activity of the end-to-end benchmark, drawn on the X server in $DISPLAY: a
// desktop-like picture, then one of three scenes. "still" draws nothing more; "region" redraws
// a 640x360 area every frame; "full" redraws the whole screen every frame. In the two moving
// scenes a small marker square changes colour every MARKER_PERIOD, and the scene remembers
// when each change was requested, so a viewer can tell how long it took to see it.
//
// One thread draws (its own X connection); markerAt() may be read from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cvl::bench {

using Clock = std::chrono::steady_clock;

// Where the marker sits on the screen (root window pixels).
struct MarkerSpot {
  int x = 1560;
  int y = 780;
  int size = 48;
};

// The colours the marker cycles through, as 0xRRGGBB.
inline constexpr uint32_t MARKER_COLOURS[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
inline constexpr int MARKER_COLOUR_COUNT = 4;
inline constexpr auto MARKER_PERIOD = std::chrono::milliseconds(250);

// Paints the desktop picture on the whole root window; false without a display.
bool paintDesktop();

class Scene {
 public:
  // "still", "region" or "full"; drawn `fps` times a second.
  Scene(std::string kind, int fps);
  ~Scene();
  bool start();  // false without a display or for an unknown kind
  void stop();

  bool hasMarker() const { return kind_ != "still"; }
  MarkerSpot spot() const { return spot_; }
  // The marker change with number `n` (colour n % MARKER_COLOUR_COUNT): when it was
  // requested; absent when it has not happened yet.
  std::optional<Clock::time_point> markerRequested(uint64_t n) const;

 private:
  void run();

  const std::string kind_;
  const int fps_;
  MarkerSpot spot_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Clock::time_point> markerTimes_;
};

}  // namespace cvl::bench
