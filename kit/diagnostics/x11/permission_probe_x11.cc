// The permission probes on X11. Each call opens its own short-lived display connection, so
// the answers follow the current $DISPLAY; without a reachable display both are false.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "kit/diagnostics/permission_probe.h"

namespace cvl::PermissionProbe {

namespace {

class DisplayConnection {
 public:
  DisplayConnection() : display_(XOpenDisplay(nullptr)) {}
  ~DisplayConnection() {
    if (display_) XCloseDisplay(display_);
  }
  DisplayConnection(const DisplayConnection&) = delete;
  DisplayConnection& operator=(const DisplayConnection&) = delete;
  ::Display* get() const { return display_; }

 private:
  ::Display* display_;
};

}  // namespace

bool inputPostingAvailable() {
  DisplayConnection display;
  if (!display.get()) return false;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor) == True;
}

bool screenReadable() {
  DisplayConnection display;
  if (!display.get()) return false;
  Window root = DefaultRootWindow(display.get());
  XImage* pixel = XGetImage(display.get(), root, 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (!pixel) return false;
  XDestroyImage(pixel);
  return true;
}

}  // namespace cvl::PermissionProbe
