// The permission probes on X11. Each call opens its own short-lived display connection, so
// the answers follow the current $DISPLAY; without a reachable display both are false.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "kit/base/x11/x11_connection.h"
#include "kit/diagnostics/permission_probe.h"

namespace cvl::PermissionProbe {

namespace {

// An X server whose last client has just gone resets and refuses connections for a moment;
// each probe is such a short-lived client, so a refusal is retried briefly.
X11Connection openDisplay() {
  constexpr int ATTEMPTS = 5;
  constexpr auto PAUSE = std::chrono::milliseconds(40);
  X11Connection connection = X11Connection::open();
  for (int attempt = 1; attempt < ATTEMPTS && !connection && std::getenv("DISPLAY"); ++attempt) {
    std::this_thread::sleep_for(PAUSE);
    connection = X11Connection::open();
  }
  return connection;
}

}  // namespace

bool inputPostingAvailable() {
  X11Connection display = openDisplay();
  if (!display) return false;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor) == True;
}

bool screenReadable() {
  X11Connection display = openDisplay();
  if (!display) return false;
  Window root = DefaultRootWindow(display.get());
  XImage* pixel = XGetImage(display.get(), root, 0, 0, 1, 1, AllPlanes, ZPixmap);
  if (!pixel) return false;
  XDestroyImage(pixel);
  return true;
}

}  // namespace cvl::PermissionProbe
