#include "tests/manager/x11_screenshot.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace cvl::test {

namespace {

struct Connection {
  Display* display = XOpenDisplay(nullptr);
  ~Connection() {
    if (display) XCloseDisplay(display);
  }
};

}  // namespace

QSize windowSize(unsigned long window) {
  Connection x;
  XWindowAttributes attributes;
  if (!x.display || !XGetWindowAttributes(x.display, window, &attributes)) return {};
  return {attributes.width, attributes.height};
}

QImage grabWindow(unsigned long window) {
  Connection x;
  XWindowAttributes attributes;
  if (!x.display || !XGetWindowAttributes(x.display, window, &attributes)) return {};
  XImage* image = XGetImage(x.display, window, 0, 0, attributes.width, attributes.height,
                            AllPlanes, ZPixmap);
  if (!image) return {};
  QImage result(attributes.width, attributes.height, QImage::Format_RGB32);
  for (int y = 0; y < attributes.height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
    for (int x0 = 0; x0 < attributes.width; ++x0) {
      unsigned long pixel = XGetPixel(image, x0, y);
      line[x0] = qRgb((pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
    }
  }
  XDestroyImage(image);
  return result;
}

CoveringWindow::CoveringWindow() {
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 600, 700, 0, 0, 0);
  XMapRaised(display, window_);
  XSync(display, False);
}

CoveringWindow::~CoveringWindow() {
  if (!display_) return;
  auto* display = static_cast<Display*>(display_);
  XDestroyWindow(display, window_);
  XCloseDisplay(display);
}

bool isAbove(unsigned long upper, unsigned long lower) {
  Connection x;
  if (!x.display) return false;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(x.display, DefaultRootWindow(x.display), &root, &parent, &children, &count)) {
    return false;
  }
  int upperAt = -1, lowerAt = -1;  // bottom to top
  for (unsigned int i = 0; i < count; ++i) {
    if (children[i] == upper) upperAt = static_cast<int>(i);
    if (children[i] == lower) lowerAt = static_cast<int>(i);
  }
  if (children) XFree(children);
  return upperAt >= 0 && lowerAt >= 0 && upperAt > lowerAt;
}

}  // namespace cvl::test
