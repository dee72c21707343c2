#pragma once
// The computer's displays as the capturer and the host engine see them: the active displays
// in the order the window system lists them (monitor indices are positions in this list), the
// main display, and each display's bounds in the global coordinate space that input injection
// uses too (points, y down; on X11 the root window's coordinates, so every origin is >= 0).
// A display id stays the same while the display exists. Implementations are safe to call
// from any thread.

#include <cstdint>
#include <vector>

namespace cvl {

using DisplayId = uint32_t;

struct DisplayBounds {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const DisplayBounds&) const = default;
};

class DisplayServices {
 public:
  virtual ~DisplayServices() = default;

  virtual std::vector<DisplayId> activeDisplays() = 0;
  virtual DisplayId mainDisplay() = 0;
  // All zero for an id that names no active display.
  virtual DisplayBounds bounds(DisplayId id) = 0;
};

}  // namespace cvl
