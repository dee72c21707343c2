#pragma once
// Helpers shared by the X11 capture wrappers (display services, sources, pasteboard). Only
// the X11 wrapper files include this; Xlib itself stays out of the header.

#include <vector>

#include "kit/capture/display_services.h"

struct _XDisplay;

namespace cvl::x11 {

// One active monitor in root-window coordinates.
struct Monitor {
  DisplayId id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
};

// The active monitors in the server's order. Uses RandR monitors (their name atoms are the
// ids, stable while a monitor exists); without RandR 1.5, or with no monitor defined, the
// whole root window is the only monitor. Exactly one entry is primary when any exist.
std::vector<Monitor> queryMonitors(_XDisplay* display);
// The entry of `monitors` with `id`, or null.
const Monitor* findMonitor(const std::vector<Monitor>& monitors, DisplayId id);

}  // namespace cvl::x11
