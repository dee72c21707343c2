#include <X11/Xlib.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "kit/base/x11/x11_connection.h"

// Xlib's own handler: the one that ends the process, never chained to.
extern "C" int _XDefaultError(Display* display, XErrorEvent* event);

namespace cvl {

namespace {

thread_local int lastError = 0;
// A handler another part of the process set before the trap; it keeps receiving every error.
std::atomic<XErrorHandler> earlierHandler{nullptr};

int recordError(Display* display, XErrorEvent* event) {
  lastError = event->error_code;
  if (XErrorHandler earlier = earlierHandler.load()) earlier(display, event);
  return 0;
}

}  // namespace

namespace X11ErrorTrap {

void install() {
  static std::once_flag once;
  std::call_once(once, [] {
    XErrorHandler previous = XSetErrorHandler(recordError);
    if (previous != nullptr && previous != _XDefaultError && previous != recordError) {
      earlierHandler.store(previous);
    }
  });
}

int take() {
  const int error = lastError;
  lastError = 0;
  return error;
}

}  // namespace X11ErrorTrap

X11Connection X11Connection::open(const std::string& displayName) {
  X11ErrorTrap::install();
  return X11Connection(XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str()));
}

X11Connection::~X11Connection() { close(); }

X11Connection::X11Connection(X11Connection&& other) noexcept
    : display_(std::exchange(other.display_, nullptr)) {}

X11Connection& X11Connection::operator=(X11Connection&& other) noexcept {
  if (this != &other) {
    close();
    display_ = std::exchange(other.display_, nullptr);
  }
  return *this;
}

void X11Connection::close() {
  if (display_ != nullptr) XCloseDisplay(std::exchange(display_, nullptr));
}

}  // namespace cvl
