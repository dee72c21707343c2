#include <X11/Xlib.h>
#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <utility>

#include "kit/base/x11/x11_connection.h"
#include "kit/capture/display_loss.h"

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
  X11Connection connection = X11Connection::open();
  if (!connection) return;
  // The watch lasts as long as the process, and so does its connection.
  std::thread([connection = std::move(connection)] {
    Display* display = connection.get();
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
