#include "kit/capture/x11/monitors_x11.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace cvl::x11 {

std::vector<Monitor> queryMonitors(Display* display) {
  std::vector<Monitor> result;
  Window root = DefaultRootWindow(display);
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (XRRQueryExtension(display, &eventBase, &errorBase) &&
      XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5))) {
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (monitors) {
      for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        if (m.width <= 0 || m.height <= 0) continue;
        result.push_back({static_cast<DisplayId>(m.name), m.x, m.y, m.width, m.height,
                          m.primary != 0});
      }
      XRRFreeMonitors(monitors);
    }
  }
  if (result.empty()) {
    int screen = DefaultScreen(display);
    result.push_back({static_cast<DisplayId>(root), 0, 0, DisplayWidth(display, screen),
                      DisplayHeight(display, screen), true});
    return result;
  }
  // The main display is the primary monitor, or the first one when none is marked primary;
  // a server that marks several keeps only its first mark.
  bool seen = false;
  for (auto& m : result) {
    if (m.primary && !seen) {
      seen = true;
    } else {
      m.primary = false;
    }
  }
  if (!seen) result.front().primary = true;
  return result;
}

const Monitor* findMonitor(const std::vector<Monitor>& monitors, DisplayId id) {
  for (const auto& m : monitors) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

}  // namespace cvl::x11
