#include "kit/capture/x11/display_services_x11.h"

#include <X11/Xlib.h>

#include "kit/capture/x11/monitors_x11.h"

namespace cvl {

X11DisplayServices::X11DisplayServices() = default;

X11DisplayServices::~X11DisplayServices() = default;

Display* X11DisplayServices::connection() {
  if (!display_) display_ = X11Connection::open();
  return display_.get();
}

std::vector<DisplayId> X11DisplayServices::activeDisplays() {
  std::lock_guard lock(mutex_);
  std::vector<DisplayId> ids;
  if (Display* d = connection()) {
    for (const auto& m : x11::queryMonitors(d)) ids.push_back(m.id);
  }
  return ids;
}

DisplayId X11DisplayServices::mainDisplay() {
  std::lock_guard lock(mutex_);
  if (Display* d = connection()) {
    for (const auto& m : x11::queryMonitors(d)) {
      if (m.primary) return m.id;
    }
  }
  return 0;
}

DisplayBounds X11DisplayServices::bounds(DisplayId id) {
  std::lock_guard lock(mutex_);
  if (Display* d = connection()) {
    auto monitors = x11::queryMonitors(d);
    if (const auto* m = x11::findMonitor(monitors, id)) {
      return {double(m->x), double(m->y), double(m->width), double(m->height)};
    }
  }
  return {};
}

}  // namespace cvl
