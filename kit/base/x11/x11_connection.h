#pragma once
// X11Connection: one connection to an X server, closed when the object goes; the one way the
// kit's X11 wrappers and the tests open a display. Move-only. Xlib lets one connection be used
// by one thread at a time: whoever owns the object decides which thread that is.
//
// Opening a connection also sets the process's X error trap (X11ErrorTrap below), so that no
// X user ends the process on a protocol error. Xlib itself stays out of this header.

#include <string>

struct _XDisplay;

namespace cvl {

class X11Connection {
 public:
  // Connects to `displayName`, or to $DISPLAY when it is empty. Check the result with
  // isOpen(): an unreachable server gives a closed connection.
  static X11Connection open(const std::string& displayName = "");

  X11Connection() = default;
  ~X11Connection();
  X11Connection(X11Connection&& other) noexcept;
  X11Connection& operator=(X11Connection&& other) noexcept;
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  bool isOpen() const { return display_ != nullptr; }
  explicit operator bool() const { return isOpen(); }
  // The Xlib display, null when closed. Valid while this object holds it.
  _XDisplay* get() const { return display_; }
  // Closes now; closed connections stay closed.
  void close();

 private:
  explicit X11Connection(_XDisplay* display) : display_(display) {}

  _XDisplay* display_ = nullptr;
};

// Xlib's default error handler ends the process on any protocol error (a window that has just
// gone, a request the server refuses). The trap records the error on the thread that made the
// request instead; the caller decides what the failed request means.
namespace X11ErrorTrap {

// Sets the trap for the process; only the first call does anything. A handler set before it
// still sees every error.
void install();
// The error code recorded on this thread since the last call (0 when none), then clears it.
// Call XSync first to see the errors of requests not yet sent.
int take();

}  // namespace X11ErrorTrap

}  // namespace cvl
