#include <X11/Xlib.h>
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "kit/capture/display_loss.h"
#include "kit/capture/x11/monitors_x11.h"

namespace cvl::DisplayLoss {
namespace {

std::atomic<Handler> installed{nullptr};

// Xlib calls this when a connection breaks; it must not return into Xlib.
int ioError(Display* display) {
  const char* name = display ? DisplayString(display) : nullptr;
  if (Handler handler = installed.load()) handler(name ? name : "");
  std::_Exit(1);
}

}  // namespace

void onLost(Handler handler) {
  installed = handler;
  XSetIOErrorHandler(ioError);
}

void watch() {
  x11::installErrorHandler();
  Display* display = XOpenDisplay(nullptr);
  if (!display) return;
  std::thread([display] {
    pthread_setname_np(pthread_self(), "cvl.display");
    for (;;) {
      pollfd p{ConnectionNumber(display), POLLIN, 0};
      poll(&p, 1, -1);
      // Reading what arrived notices a closed connection (Xlib then calls the handler); what
      // does arrive are only the notices every client gets.
      while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
      }
    }
  }).detach();
}

}  // namespace cvl::DisplayLoss
