// The permission probes on X11. Each call opens its own short-lived display connection, so
// the answers follow the current $DISPLAY; without a reachable display both are false.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "kit/diagnostics/permission_probe.h"

namespace cvl::PermissionProbe {

namespace {

class DisplayConnection {
 public:
  // An X server whose last client has just gone resets and refuses connections for a
  // moment; each probe is such a short-lived client, so a refusal is retried briefly.
  DisplayConnection() {
    for (int attempt = 0; attempt < 5 && !display_; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
      display_ = XOpenDisplay(nullptr);
      if (!display_ && !std::getenv("DISPLAY")) return;
    }
  }
  ~DisplayConnection() {
    if (display_) XCloseDisplay(display_);
  }
  DisplayConnection(const DisplayConnection&) = delete;
  DisplayConnection& operator=(const DisplayConnection&) = delete;
  ::Display* get() const { return display_; }

 private:
  ::Display* display_ = nullptr;
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
